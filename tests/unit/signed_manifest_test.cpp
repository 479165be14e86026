// The signed manifest's reading, with a stand-in for the platform's RSA
// check: a signature "holds" when it is the key's id followed by the bytes
// it signs, so that which key a line names and which bytes it covers both
// decide, as they do with real keys.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "signed_manifest.h"
#include "utc_time.h"

namespace {

const std::string A(16, 'a'), B(16, 'b');
const ReleaseKey Keys[] = {{A.c_str(), nullptr, 0}, {B.c_str(), nullptr, 0}};

bool StandInVerify(const ReleaseKey& key, std::string_view message, const std::string& signature)
{
    return signature == std::string(key.id) + std::string(message);
}

const std::string M = "0123456789abcdef0123456789abcdef";
const std::string S(64, '5');
const std::string Header = "#release\t42\n#expires\t2030-01-01T00:00:00Z\n";
const std::string Entries = M + "\t3\tkorvanth.serial\n" + M + "\t9\tz.pak\n";
const std::string Digests = "#sha256\t" + S + "\tkorvanth.serial\n#sha256\t" + S + "\tz.pak\n";

std::string SignedBy(const std::string& id, const std::string& text, const std::string& signer = "")
{
    return text + "#signature\t" + id + "\t" + ToBase64((signer.empty() ? id : signer) + text) + "\n";
}

TEST(SignedManifest, WhatATakenReleaseMustBe)
{
    const std::string good = Header + Entries + Digests;
    const struct {
        const char* name;
        std::string text;
        bool taken;
    } cases[] = {
        {"signed by the second key", SignedBy(B, good), true},
        {"in another order, dropped files too",
         SignedBy(A, "#sha256\t" + S + "\tz.pak\n" + Entries + "#dropped\t" + M + "\told.dll\n" + Header +
                         "#sha256\t" + S + "\tkorvanth.serial\n"),
         true},
        {"names a key, signed by the other", SignedBy(A, good, B), false},
        {"names a key the updater lacks", SignedBy(std::string(16, 'c'), good), false},
        {"key id in capitals", SignedBy(std::string(16, 'A'), good), false},
        {"a byte after the signature line", SignedBy(A, good) + "\n", false},
        {"base64 without its padding", SignedBy(A, good).substr(0, SignedBy(A, good).size() - 2) + "\n",
         false},
        {"an entry without its SHA-256", SignedBy(A, Header + Entries + "#sha256\t" + S + "\tz.pak\n"),
         false},
        {"a SHA-256 without its entry", SignedBy(A, Header + M + "\t9\tz.pak\n" + Digests), false},
        {"a path listed twice", SignedBy(A, good + M + "\t9\tz.pak\n#sha256\t" + S + "\tz.pak\n"), false},
        {"a SHA-256 in capitals",
         SignedBy(A, Header + Entries + "#sha256\t" + std::string(64, 'F') + "\tkorvanth.serial\n#sha256\t" +
                         S + "\tz.pak\n"),
         false},
        {"no release record listed", SignedBy(A, Header + M + "\t9\tz.pak\n#sha256\t" + S + "\tz.pak\n"),
         false},
        {"no serial", SignedBy(A, good.substr(good.find("#expires"))), false},
        {"two serials", SignedBy(A, "#release\t43\n" + good), false},
        {"a serial with a leading zero", SignedBy(A, "#release\t042" + good.substr(good.find('\n'))), false},
        {"no expiry", SignedBy(A, "#release\t42\n" + Entries + Digests), false},
        {"a day that does not exist",
         SignedBy(A, "#release\t42\n#expires\t2030-02-30T00:00:00Z\n" + Entries + Digests), false},
        {"a dropped file the release has", SignedBy(A, good + "#dropped\t" + M + "\tZ.pak\n"), true},
        {"a dropped file that is an entry", SignedBy(A, good + "#dropped\t" + M + "\tz.pak\n"), false},
        {"a dropped file outside the folder", SignedBy(A, good + "#dropped\t" + M + "\t../x.dll\n"), false},
    };
    for (const auto& c : cases) {
        SignedRelease release;
        EXPECT_EQ(CheckSignedManifest(c.text, Keys, 2, StandInVerify, release), c.taken)
            << "case: " << c.name;
        EXPECT_EQ(release.entries.size(), c.taken ? 2u : 0u) << "case: " << c.name;
        if (c.taken)
            EXPECT_TRUE(release.serial == 42 && UtcTimeText(release.expires) == "2030-01-01T00:00:00Z" &&
                        *FindSignedDigest(release.digests, "z.pak") == S)
                << "case: " << c.name;
    }
}

TEST(SignedManifest, DroppedFilesThatMayBeDeleted)
{
    const std::string text = Header + Entries + Digests + "#dropped\t" + M + "\tData\\Z.PAK\n#dropped\t" + M +
                             "\tKORVANTHUPDATER.EXE\n#dropped\t" + M + "\tUpdate.url\n#dropped\t" + M +
                             "\tkorvanth.EXE\n#dropped\t" + M + "\tb/old.dll\n#dropped\t" +
                             std::string(32, 'e') + "\tb/old.dll\n" + M + "\t1\tdata/z.pak\n#sha256\t" + S +
                             "\tdata/z.pak\n";
    // The release's views are into text, which outlives them.
    SignedRelease release;
    ASSERT_TRUE(SignedEntries(text, release));
    std::vector<std::string> deletable;
    for (const DroppedFile& d : DeletableDropped(release))
        deletable.push_back(std::string(d.path) + " " + std::string(d.md5.substr(0, 1)));
    EXPECT_EQ(deletable, (std::vector<std::string>{"b/old.dll 0", "b/old.dll e"}));
}

TEST(SignedManifest, Base64OnlyInItsOneForm)
{
    const struct {
        std::string text;
        bool read;
        std::string bytes;
    } cases[] = {
        {"", true, ""},
        {"Zg==", true, "f"},
        {"Zm8=", true, "fo"},
        {"Zm9v", true, "foo"},
        {"Zm9vYg==", true, "foob"},
        {"Zm9vYmE=", true, "fooba"},
        {"Zm9vYmFy", true, "foobar"},
        {"Zg=", false, ""},
        {"Z===", false, ""},
        {"Zg=a", false, ""},
        {"Zm 9v", false, ""},
        {"Zm9v\n", false, ""},
        {"Zm9-", false, ""},
    };
    for (const auto& c : cases) {
        std::string bytes = "unchanged";
        EXPECT_EQ(FromBase64(c.text, bytes), c.read) << "case: " << c.text;
        if (c.read)
            EXPECT_TRUE(bytes == c.bytes && ToBase64(bytes) == c.text) << "case: " << c.text;
    }
    // Bits past the last byte decode, but say the same thing in other bytes:
    // the signature line takes only the form the tool writes.
    SignedParts parts;
    EXPECT_TRUE(SplitSignature("x\n#signature\t" + A + "\tZg==\n", parts) && parts.signature == "f");
    EXPECT_FALSE(SplitSignature("x\n#signature\t" + A + "\tZh==\n", parts));
    EXPECT_FALSE(SplitSignature("x\n#signature\t" + A + "\t\n", parts));
    EXPECT_FALSE(SplitSignature("x\n#signature\t" + A.substr(1) + "\tZg==\n", parts));
}

TEST(SignedManifest, SerialsTimesAndTheRecord)
{
    const struct {
        const char* text;
        bool read;
        std::int64_t seconds;
    } times[] = {
        {"1970-01-01T00:00:00Z", true, 0},         {"2024-02-29T12:30:59Z", true, 1709209859},
        {"2000-02-29T00:00:00Z", true, 951782400}, {"9999-12-31T23:59:59Z", true, 253402300799},
        {"2100-02-29T00:00:00Z", false, 0},        {"1969-12-31T23:59:59Z", false, 0},
        {"2030-01-01T24:00:00Z", false, 0},        {"2030-01-01 00:00:00Z", false, 0},
        {"2030-01-01T00:00:00z", false, 0},        {"2030-1-01T00:00:00Z", false, 0},
    };
    for (const auto& c : times) {
        std::int64_t seconds = -1;
        EXPECT_EQ(ParseUtcTime(c.text, seconds), c.read) << "case: " << c.text;
        if (c.read)
            EXPECT_TRUE(seconds == c.seconds && UtcTimeText(seconds) == c.text) << "case: " << c.text;
    }
    const struct {
        const char* text;
        std::uint64_t serial;  // 0: no record
    } records[] = {
        {"42\n", 42},
        {"42\r\n", 42},
        {"42", 42},
        {"9999999999999999999", 9999999999999999999ull},
        {"18446744073709551615", 0},
        {"042\n", 0},
        {"0\n", 0},
        {"", 0},
        {"4 2\n", 0},
        {"42\n\n", 0},
    };
    for (const auto& c : records) {
        std::uint64_t serial = 0;
        EXPECT_EQ(ParseReleaseRecord(c.text, serial) ? serial : 0, c.serial) << "case: " << c.text;
    }
    EXPECT_EQ(ReleaseRecordText(7), "7\n");
}

}  // namespace
