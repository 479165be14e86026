// Release keys through OpenSSL. A private key is read only from a file its
// owner alone may read and that nothing publishes or serves; every
// signature, however made, is checked against the public key before a
// release carries it.
#include "release_signing.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_digest.h"
#include "shown_text.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

const int MinimumBits = 3072;

bool Refuse(const std::string& what, const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", Shown(what).c_str(), why.c_str());
    return false;
}

// The key's id (see signed_manifest.h) and its DER form.
std::string KeyId(EVP_PKEY* key, std::string& der)
{
    unsigned char* bytes = nullptr;
    const int length = i2d_PUBKEY(key, &bytes);
    if (length <= 0)
        return "";
    der.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
    OPENSSL_free(bytes);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        return "";
    std::string id;
    DigestText(digest, 8, id);
    return id;
}

std::string WhyNoReleaseKey(EVP_PKEY* key)
{
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        return "is not an RSA key";
    if (EVP_PKEY_get_bits(key) < MinimumBits)
        return "has " + std::to_string(EVP_PKEY_get_bits(key)) + " bits: a release key needs " +
               std::to_string(MinimumBits) + " or more";
    return "";
}

// OpenSSL's passphrase callback: the environment's, or the terminal's,
// typed without echo. Never an argument: other users see those.
int AskPassphrase(char* buffer, int size, int, void* path)
{
    const char* given = std::getenv("KORVANTH_SIGN_KEY_PASSPHRASE");
    if (given != nullptr) {
        // Cut short, it would be another passphrase: none is given instead.
        if (std::strlen(given) >= static_cast<std::size_t>(size))
            return -1;
        std::snprintf(buffer, static_cast<std::size_t>(size), "%s", given);
        return static_cast<int>(std::strlen(buffer));
    }
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0)
        return -1;
    const std::string prompt = "Passphrase of " + Shown(static_cast<const char*>(path)) + ": ";
    struct termios before, quiet;
    const bool hidden = tcgetattr(tty, &before) == 0;
    quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (hidden)
        tcsetattr(tty, TCSAFLUSH, &quiet);
    int length = write(tty, prompt.data(), prompt.size()) < 0 ? -1 : 0;
    while (length >= 0 && length < size - 1) {
        char c = 0;
        if (read(tty, &c, 1) != 1 || c == '\n')
            break;
        buffer[length++] = c;
    }
    if (hidden)
        tcsetattr(tty, TCSAFLUSH, &before);
    if (write(tty, "\n", 1) < 0)
        length = -1;
    close(tty);
    return length;
}

bool Contains(const fs::path& outer, const fs::path& inner)
{
    const std::string o = outer.string() + "/";
    return (inner.string() + "/").compare(0, o.size(), o) == 0;
}

// Runs command through the shell with input on its standard input; its
// standard output comes back in output. Both flow at once, so that neither
// side waits on a full pipe.
bool RunCommand(const std::string& command, const std::string& input, std::string& output, std::string& why)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // The command's pipelines need the broken-pipe signal this tool ignores.
    posix_spawnattr_t attributes;
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &pipeSignal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    char shell[] = "/bin/sh", dashC[] = "-c";
    std::string line = command;
    char* argv[] = {shell, dashC, &line[0], nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, shell, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    std::size_t sent = 0;
    struct pollfd ends[2] = {{in[1], POLLOUT, 0}, {out[0], POLLIN, 0}};
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    if (input.empty()) {
        close(in[1]);
        ends[0].fd = -1;
    }
    while (spawned == 0 && ends[1].fd >= 0 && poll(ends, 2, -1) >= 0) {
        if (ends[0].fd >= 0 && ends[0].revents != 0) {
            const ssize_t wrote = write(in[1], input.data() + sent, input.size() - sent);
            sent += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
            if (sent == input.size() || (wrote < 0 && errno != EAGAIN)) {
                close(in[1]);
                ends[0].fd = -1;
            }
        }
        if (ends[1].revents != 0) {
            char chunk[4096];
            const ssize_t got = read(out[0], chunk, sizeof(chunk));
            if (got > 0)
                output.append(chunk, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                ends[1].fd = -1;
        }
    }
    if (ends[0].fd >= 0)
        close(in[1]);
    close(out[0]);
    int status = 0;
    if (spawned != 0 || waitpid(child, &status, 0) != child) {
        why = std::string("cannot be run: ") + std::strerror(spawned != 0 ? spawned : errno);
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = "failed (exit " +
              std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) + ")";
        return false;
    }
    return true;
}

}  // namespace

bool LoadPublicKeys(const std::vector<std::string>& paths, std::vector<PublicKey>& keys)
{
    for (const std::string& path : paths) {
        FILE* file = std::fopen(path.c_str(), "r");
        EVP_PKEY* key = file != nullptr ? PEM_read_PUBKEY(file, nullptr, nullptr, nullptr) : nullptr;
        if (file != nullptr)
            std::fclose(file);
        PublicKey publicKey;
        const std::string why = key == nullptr ? "is no public key in PEM form" : WhyNoReleaseKey(key);
        if (why.empty())
            publicKey.id = KeyId(key, publicKey.der);
        EVP_PKEY_free(key);
        if (!why.empty())
            return Refuse(path, why);
        keys.push_back(publicKey);
    }
    return true;
}

bool LoadSigningKey(const std::string& path, const std::vector<fs::path>& outside, Signer& signer)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return Refuse(path, std::strerror(errno));
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
    if ((info.st_mode & 077) != 0)
        return Refuse(path, std::string("mode ") + mode +
                                ": a private key others may read is no one's own; chmod 600 it (and think "
                                "about who read it)");
    std::error_code error;
    const fs::path real = fs::canonical(path, error);
    for (const fs::path& folder : outside) {
        const fs::path other = fs::weakly_canonical(folder, error);
        if (!error && Contains(other, real))
            return Refuse(path,
                          "lies in " + Shown(folder.string()) +
                              ", which is published or served: keep the key where no web server reaches");
    }
    FILE* file = std::fopen(path.c_str(), "r");
    signer.key = file != nullptr
                     ? PEM_read_PrivateKey(file, nullptr, AskPassphrase, const_cast<char*>(path.c_str()))
                     : nullptr;
    if (file != nullptr)
        std::fclose(file);
    if (signer.key == nullptr)
        return Refuse(path, "is no private key in PEM form, or its passphrase was not given (asked on the "
                            "terminal, or in KORVANTH_SIGN_KEY_PASSPHRASE)");
    const std::string why = WhyNoReleaseKey(signer.key);
    if (!why.empty())
        return Refuse(path, why);
    PublicKey own;
    own.id = KeyId(signer.key, own.der);
    signer.publicKeys.push_back(own);
    return true;
}

bool Sign(Signer& signer, const std::string& text, std::string& signature, std::string& why)
{
    signature.clear();
    if (signer.key != nullptr) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        std::size_t length = 0;
        bool ok = context != nullptr &&
                  EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, signer.key) == 1 &&
                  EVP_DigestSign(context, nullptr, &length,
                                 reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
        signature.resize(length);
        ok = ok && EVP_DigestSign(context, reinterpret_cast<unsigned char*>(&signature[0]), &length,
                                  reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
        EVP_MD_CTX_free(context);
        signature.resize(ok ? length : 0);
        if (!ok) {
            why = "the key could not sign";
            return false;
        }
    } else if (!RunCommand(signer.command, text, signature, why)) {
        why = "--sign-command " + why;
        return false;
    }
    for (const ReleaseKey& key : AsReleaseKeys(signer.publicKeys)) {
        if (VerifyWithOpenSsl(key, text, signature)) {
            signer.keyId = key.id;
            return true;
        }
    }
    why = signer.key != nullptr ? "the key's signature does not check"
                                : "--sign-command gave no signature that a --release-key key checks";
    return false;
}

bool OpenSigner(const std::string& key, const std::string& command,
                const std::vector<std::string>& releaseKeys, const std::vector<fs::path>& outside,
                Signer& signer)
{
    signer.command = command;
    if (!key.empty() && !LoadSigningKey(key, outside, signer))
        return false;
    // Keys given pin the signature: the key's own public half alone no
    // longer vouches for it.
    if (!releaseKeys.empty())
        signer.publicKeys.clear();
    if (!LoadPublicKeys(releaseKeys, signer.publicKeys))
        return false;
    // Comment lines alone: no updater takes them for a release.
    const std::string probe = "# korvanth-publish: a signer's trial signature, no release\n";
    std::string signature, why;
    if (Sign(signer, probe, signature, why))
        return true;
    std::fprintf(stderr, "korvanth-publish: the signer does not sign: %s; nothing was changed\n",
                 Shown(why).c_str());
    return false;
}

bool VerifyWithOpenSsl(const ReleaseKey& key, std::string_view message, const std::string& signature)
{
    const unsigned char* der = key.bytes;
    EVP_PKEY* publicKey = d2i_PUBKEY(nullptr, &der, static_cast<long>(key.length));
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool ok = publicKey != nullptr && context != nullptr &&
                    EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, publicKey) == 1 &&
                    EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.data()),
                                     signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(publicKey);
    return ok;
}

std::vector<ReleaseKey> AsReleaseKeys(const std::vector<PublicKey>& keys)
{
    std::vector<ReleaseKey> views;
    for (const PublicKey& key : keys)
        views.push_back(
            {key.id.c_str(), reinterpret_cast<const unsigned char*>(key.der.data()), key.der.size()});
    return views;
}

void FreeSigner(Signer& signer)
{
    EVP_PKEY_free(signer.key);
    signer.key = nullptr;
}
