// Checking a live server over HTTP(S), the way a player's updater reaches it:
// manifest.txt below the base URL, then every listed file below files/. This
// is what proves that a CDN or mirror serves exactly the release. Every
// request is the one a player's updater makes, header for header, so that a
// server cannot serve players one release and the check another. Files are
// fetched a few at a time so that the network and the digests keep both
// cores busy.
#include <curl/curl.h>
#include <openssl/evp.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "carried_updater.h"
#include "file_md5.h"
#include "shown_text.h"
#include "purge_list.h"
#include "server_check.h"

namespace {

const unsigned Connections = 4;

struct Fetched {
    long status = 0;
    std::uint64_t size = 0;
    std::string md5;
    std::string sha256;  // when asked for
    std::string error;   // empty when the transfer itself went through
};

struct Sink {
    EVP_MD_CTX* md5;
    EVP_MD_CTX* sha256;  // null when not asked for
    std::string* body;   // the bytes kept: the manifest's, and the carried updater's
    bool bodyOnly;       // the manifest: kept whole or not at all, and not hashed
    std::uint64_t size;
    bool tooLarge;
};

std::size_t Receive(char* data, std::size_t one, std::size_t count, void* userdata)
{
    Sink* sink = static_cast<Sink*>(userdata);
    const std::size_t length = one * count;
    // Whatever the server sends, memory stays bounded: the manifest's
    // transfer is abandoned where every player's updater gives up too; a
    // file's bytes are no longer kept, only hashed.
    if (sink->body != nullptr && sink->body->size() + length > MaxManifestBytes) {
        sink->tooLarge = sink->bodyOnly;
        if (sink->bodyOnly)
            return 0;
        sink->body->clear();
        sink->body = nullptr;
    }
    if (sink->body != nullptr)
        sink->body->append(data, length);
    if (!sink->bodyOnly && (EVP_DigestUpdate(sink->md5, data, length) != 1 ||
                            (sink->sha256 != nullptr && EVP_DigestUpdate(sink->sha256, data, length) != 1)))
        return 0;
    sink->size += length;
    return length;
}

// What WinHTTP sends with the updater's requests besides Host: its
// User-Agent and Connection, and no Accept (libcurl's own, removed here),
// over HTTP/1.1, which WinHTTP speaks unless told otherwise. Null when
// memory runs out.
curl_slist* UpdaterHeaders()
{
    curl_slist* headers = curl_slist_append(nullptr, "Accept:");
    curl_slist* more = headers == nullptr ? nullptr : curl_slist_append(headers, "Connection: Keep-Alive");
    if (more == nullptr)
        curl_slist_free_all(headers);
    return more;
}

// headers (UpdaterHeaders) must outlive the connection.
CURL* NewConnection(const std::string& baseUrl, const std::string& caFile, curl_slist* headers)
{
    CURL* curl = headers == nullptr ? nullptr : curl_easy_init();
    if (curl == nullptr)
        return nullptr;
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "KorvanthUpdater/1.0");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Receive);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // WinHTTP follows redirects too, but never from https down to http.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR,
                     strncasecmp(baseUrl.c_str(), "https:", 6) == 0 ? "https" : "http,https");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    if (!caFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    return curl;
}

typedef std::chrono::steady_clock Clock;

// Every transfer gets what is left of the check's own time limit. body, when
// not null, keeps the bytes: with bodyOnly (the manifest), all of them or the
// transfer fails; otherwise up to MaxManifestBytes, as well as hashing them.
Fetched Fetch(CURL* curl, const std::string& url, std::string* body, bool bodyOnly, bool withSha256,
              Clock::time_point deadline)
{
    Fetched result;
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        result.error = "the check's time limit ran out (--timeout)";
        return result;
    }
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(left));
    Sink sink = {EVP_MD_CTX_new(), withSha256 ? EVP_MD_CTX_new() : nullptr, body, bodyOnly, 0, false};
    if (sink.md5 == nullptr || EVP_DigestInit_ex(sink.md5, EVP_md5(), nullptr) != 1 ||
        (withSha256 &&
         (sink.sha256 == nullptr || EVP_DigestInit_ex(sink.sha256, EVP_sha256(), nullptr) != 1))) {
        EVP_MD_CTX_free(sink.md5);
        EVP_MD_CTX_free(sink.sha256);
        result.error = "cannot make a digest";
        return result;
    }
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    const CURLcode code = curl_easy_perform(curl);
    // Both live on this frame: the handle must not keep them past it.
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    result.size = sink.size;
    if (sink.tooLarge)
        result.error = TooLargeManifest();
    // libcurl's own clock may fire a few milliseconds early.
    else if (code == CURLE_OPERATION_TIMEDOUT && Clock::now() + std::chrono::milliseconds(100) >= deadline)
        result.error = "the check's time limit (--timeout) ran out";
    else if (code != CURLE_OK)
        result.error = error[0] != '\0' ? error : curl_easy_strerror(code);
    FinishDigest(sink.md5, result.md5);
    if (withSha256)
        FinishDigest(sink.sha256, result.sha256);
    EVP_MD_CTX_free(sink.md5);
    EVP_MD_CTX_free(sink.sha256);
    return result;
}

std::string TransferProblem(const Fetched& fetched)
{
    if (!fetched.error.empty())
        return fetched.error;
    if (fetched.status != 200)
        return "status " + std::to_string(fetched.status);
    return "";
}

// The manifest below base, or false with the reason on stderr.
bool FetchManifestWith(const std::string& base, const std::string& caFile, curl_slist* headers,
                       Clock::time_point deadline, std::string& text)
{
    CURL* curl = NewConnection(base, caFile, headers);
    if (curl == nullptr) {
        std::fprintf(stderr, "korvanth-publish: cannot start libcurl\n");
        return false;
    }
    const Fetched manifest = Fetch(curl, base + "manifest.txt", &text, true, false, deadline);
    curl_easy_cleanup(curl);
    std::string problem = TransferProblem(manifest);
    if (problem.empty() && text.empty())
        problem = "empty: players get \"No pude contactar el servidor de parches\"";
    if (problem.empty())
        return true;
    std::fprintf(stderr, "korvanth-publish: %smanifest.txt: %s\n", Shown(base).c_str(),
                 Shown(problem).c_str());
    return false;
}

int CheckWithCurl(const std::string& base, const CheckOptions& options, curl_slist* headers)
{
    const std::string& caFile = options.caFile;
    const Clock::time_point deadline = options.deadline;
    std::string text;
    if (!FetchManifestWith(base, caFile, headers, deadline, text))
        return 1;
    Findings findings;
    const ManifestReading reading = ReadManifest(text, options, findings);
    const std::vector<ManifestEntry>& entries = reading.entries;
    // The one file whose bytes are kept: the updater a release carries is a
    // few hundred KiB.
    const std::size_t updaterAt = CarriedUpdaterAt(entries);
    std::string updater;
    bool updaterServed = false;

    const bool showProgress = !options.quiet && isatty(STDERR_FILENO);
    std::atomic<std::size_t> next(0);
    std::size_t done = 0;
    std::uint64_t bytes = 0;
    std::mutex lock;
    std::condition_variable progressed;
    auto worker = [&]() {
        CURL* connection = NewConnection(base, caFile, headers);
        for (std::size_t i = next++; i < entries.size() && Clock::now() < deadline; i = next++) {
            const ManifestEntry& e = entries[i];
            const std::string_view* signedSha256 = SignedSha256(reading.sha256, e.path);
            Fetched fetched;
            if (connection == nullptr)
                fetched.error = "cannot start libcurl";
            else
                fetched = Fetch(connection, base + "files/" + UrlPathOf(e.path),
                                i == updaterAt ? &updater : nullptr, false, signedSha256 != nullptr,
                                deadline);
            std::string why = TransferProblem(fetched);
            if (why.empty())
                why = CompareWithEntry(e, fetched.size, fetched.md5, fetched.sha256, signedSha256);
            std::lock_guard<std::mutex> hold(lock);
            updaterServed = updaterServed || (i == updaterAt && why.empty());
            if (!why.empty()) {
                // Told at once, over the progress line.
                if (showProgress)
                    std::fputs("\r\033[K", stderr);
                Report(findings, e.path, why);
            }
            ++done;
            bytes += fetched.size;
            progressed.notify_one();
        }
        curl_easy_cleanup(connection);
    };
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < Connections; ++i)
        workers.emplace_back(worker);

    std::uint64_t total = 0;
    for (const ManifestEntry& e : entries)
        total += e.size;
    {
        std::unique_lock<std::mutex> hold(lock);
        while (done < entries.size() && Clock::now() < deadline) {
            progressed.wait_for(hold, std::chrono::milliseconds(200));
            if (showProgress)
                std::fprintf(stderr, "\rchecked %zu/%zu files, %llu/%llu MiB", done, entries.size(),
                             static_cast<unsigned long long>(bytes >> 20),
                             static_cast<unsigned long long>(total >> 20));
        }
    }
    for (std::thread& t : workers)
        t.join();
    if (showProgress)
        std::fprintf(stderr, "\n");

    if (done < entries.size())
        Report(findings, base, TimeLimitRanOut(done, entries.size()));
    if (updaterServed)
        TellCarriedUpdater(updater, reading.isSigned, options.keys, options.quiet, findings);
    if (findings.count > 0)
        return Conclude(findings);
    if (!options.quiet)
        std::printf("ok: %zu files (%llu bytes) served by %s\n", entries.size(),
                    static_cast<unsigned long long>(bytes), Shown(base).c_str());
    return 0;
}

std::string BaseOf(const std::string& url)
{
    return url.empty() || url.back() == '/' ? url : url + "/";
}

}  // namespace

int CheckUrl(const std::string& baseUrl, const CheckOptions& options)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    curl_slist* headers = UpdaterHeaders();
    const int code = CheckWithCurl(BaseOf(baseUrl), options, headers);
    curl_slist_free_all(headers);
    curl_global_cleanup();
    return code;
}

bool FetchManifest(const std::string& baseUrl, const std::string& caFile, Clock::time_point deadline,
                   std::string& text)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    curl_slist* headers = UpdaterHeaders();
    const bool fetched = FetchManifestWith(BaseOf(baseUrl), caFile, headers, deadline, text);
    curl_slist_free_all(headers);
    curl_global_cleanup();
    return fetched;
}
