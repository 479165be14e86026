// Two signed releases are told apart by their serials, the times of their
// publishes; unsigned ones only by their manifests' SHA-256, as nothing in
// them says when they were made.
#include "origin_check.h"

#include <cstdio>

#include "shown_text.h"
#include "utc_time.h"

bool ReadOriginManifest(CheckOptions& options)
{
    std::filesystem::path live;
    const bool read = options.origin.find("://") != std::string::npos
                          ? FetchManifest(options.origin, options.caFile, options.deadline,
                                          options.originText)
                          : ReadLiveManifest(options.origin, live, options.originText);
    if (!read)
        std::fprintf(stderr, "korvanth-publish: the origin (--origin %s) serves no release to compare with\n",
                     Shown(options.origin).c_str());
    return read;
}

std::string SpanText(std::uint64_t seconds)
{
    char text[64];
    const unsigned long long s = seconds;
    if (s < 60)
        std::snprintf(text, sizeof(text), "%llu s", s);
    else if (s < 3600)
        std::snprintf(text, sizeof(text), "%llu min", s / 60);
    else if (s < 86400)
        std::snprintf(text, sizeof(text), "%llu h %02llu min", s / 3600, s / 60 % 60);
    else
        std::snprintf(text, sizeof(text), "%llu d %02llu h", s / 86400, s / 3600 % 24);
    return text;
}

void CompareWithOrigin(const ServedRelease& served, const CheckOptions& options, Findings& findings)
{
    const ServedRelease origin = ReadServedRelease(options.originText);
    if (served.sha256 == origin.sha256) {
        if (!options.quiet)
            std::printf("same release as the origin (%s)\n", Shown(options.origin).c_str());
        return;
    }
    const std::string mine = ReleaseText(served), theirs = ReleaseText(origin);
    const bool bothSigned = served.readable && origin.readable;
    const std::uint64_t at = served.release.serial, live = origin.release.serial;
    std::string problem;
    if (bothSigned && at != live)
        problem = mine + ": " + SpanText(at < live ? live - at : at - live) +
                  (at < live ? " older" : " newer") + " than the origin's live " + theirs;
    else if (bothSigned && served.release.expires != origin.release.expires)
        problem = mine + ", as the origin's live one, but signed at another time (it expires " +
                  UtcTimeText(served.release.expires) + ", the origin's " +
                  UtcTimeText(origin.release.expires) + ")";
    else if (bothSigned)
        problem = mine + ", as the origin's live one, but its manifest.txt is not the origin's: changed "
                         "after it was signed";
    else
        problem = mine + ": not the origin's live release (" + theirs + ")";
    Report(findings, "manifest.txt", problem);
}
