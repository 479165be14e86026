// An empty KORVANTH_SIGN_KEY_PASSPHRASE counts as none: a CI secret that
// did not resolve expands to nothing, and the key would only fail to open
// with a passphrase "that is wrong".
#include "key_passphrase.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "shown_text.h"

namespace {

const char Variable[] = "KORVANTH_SIGN_KEY_PASSPHRASE";
// OpenSSL's own room for one (PEM_BUFSIZE, its terminating zero aside).
const std::size_t Longest = 1023;

// A line typed on the terminal after prompt, without echo; false when there
// is no terminal to ask on.
bool TypedLine(const std::string& prompt, std::string& line)
{
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0)
        return false;
    struct termios before, quiet;
    const bool hidden = tcgetattr(tty, &before) == 0;
    quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (hidden)
        tcsetattr(tty, TCSAFLUSH, &quiet);
    bool ok = write(tty, prompt.data(), prompt.size()) == static_cast<ssize_t>(prompt.size());
    line.clear();
    char c = 0;
    while (ok && line.size() <= Longest && read(tty, &c, 1) == 1 && c != '\n')
        line += c;
    if (hidden)
        tcsetattr(tty, TCSAFLUSH, &before);
    ok = write(tty, "\n", 1) == 1 && ok;
    close(tty);
    return ok;
}

const char* Given()
{
    const char* given = std::getenv(Variable);
    return given != nullptr && *given != '\0' ? given : nullptr;
}

}  // namespace

int GivePassphrase(char* buffer, int size, int, void* context)
{
    PassphraseAsk& ask = *static_cast<PassphraseAsk*>(context);
    std::string passphrase = Given() != nullptr ? Given() : "";
    if (Given() == nullptr && !TypedLine("Passphrase of " + Shown(ask.path) + ": ", passphrase)) {
        ask.none = std::string("no terminal to ask on, and ") + Variable +
                   (std::getenv(Variable) == nullptr ? " is not set" : " is empty");
        return -1;
    }
    // Cut short, it would be another passphrase: none is given instead.
    if (passphrase.size() >= static_cast<std::size_t>(size)) {
        ask.none = "the passphrase is longer than " + std::to_string(size - 1) + " bytes";
        return -1;
    }
    std::memcpy(buffer, passphrase.data(), passphrase.size());
    ask.given = Given() != nullptr ? std::string("the one in ") + Variable : "the one typed";
    return static_cast<int>(passphrase.size());
}

bool NewPassphrase(const std::string& path, std::string& passphrase, std::string& why)
{
    std::string again;
    if (Given() != nullptr) {
        passphrase = again = Given();
    } else if (!TypedLine("Passphrase of the new key " + Shown(path) + ": ", passphrase) ||
               !TypedLine("The same passphrase again: ", again)) {
        why = std::string("a new key is encrypted: give its passphrase on the terminal, or in ") + Variable;
        return false;
    }
    if (passphrase != again)
        why = "the two passphrases typed differ";
    else if (passphrase.empty())
        why = "an empty passphrase protects nothing";
    else if (passphrase.size() > Longest)
        why = "the passphrase is longer than " + std::to_string(Longest) + " bytes";
    return why.empty();
}
