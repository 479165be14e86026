// The line is found by its prefix anywhere in the file: the linker puts it
// wherever it likes, and a stripped executable keeps its data.
#include "updater_identity.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sstream>

#include "whole_file.h"

namespace {

const char Prefix[] = "KORVANTH-UPDATER keys=";
// An updater is a few hundred KiB; anything past this is no updater.
const std::uint64_t MaxUpdaterBytes = 64 << 20;

std::uint32_t Little(const std::string& bytes, std::size_t at, std::size_t count)
{
    std::uint32_t value = 0;
    for (std::size_t i = count; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The machine of a PE image: 0x14c (x86) or 0x8664 (x86-64), 0 for none.
std::uint32_t PeMachine(const std::string& bytes)
{
    if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0)
        return 0;
    const std::uint32_t header = Little(bytes, 0x3c, 4);
    if (header > bytes.size() - 6 || bytes.compare(header, 4, std::string("PE\0\0", 4)) != 0)
        return 0;
    return Little(bytes, header + 4, 2);
}

}  // namespace

bool ReadUpdaterIdentity(const std::string& bytes, UpdaterIdentity& identity)
{
    const std::uint32_t machine = PeMachine(bytes);
    const std::string::size_type at = bytes.find(Prefix);
    if ((machine != 0x14c && machine != 0x8664) || at == std::string::npos)
        return false;
    const std::string::size_type start = at + sizeof(Prefix) - 1, end = bytes.find('\0', start);
    const std::string line = bytes.substr(start, end == std::string::npos ? 0 : end - start);
    const std::string::size_type keysEnd = line.find("; server=");
    if (keysEnd == std::string::npos || line.size() < keysEnd + 10 || line.back() != ';')
        return false;
    UpdaterIdentity read;
    std::istringstream ids(line.substr(0, keysEnd));
    for (std::string id; ids >> id;)
        read.keyIds.push_back(id);
    read.server = line.substr(keysEnd + 9, line.size() - keysEnd - 10);
    if (read.keyIds.empty())
        return false;
    identity = read;
    return true;
}

std::string WhyNoKeyedUpdater(const std::filesystem::path& path, UpdaterIdentity& identity)
{
    std::string bytes;
    if (!ReadWholeFile(path, bytes, MaxUpdaterBytes))
        return errno == EFBIG ? "is far larger than any updater" : std::strerror(errno);
    if (PeMachine(bytes) != 0x14c && PeMachine(bytes) != 0x8664)
        return "is not a Windows program for x86 or x86-64";
    if (!ReadUpdaterIdentity(bytes, identity))
        return "is not a KorvanthUpdater.exe built with release keys (-DKORVANTH_RELEASE_KEYS): it would "
               "take "
               "any release, and no signed release may carry it";
    return "";
}

std::string IdentityText(const UpdaterIdentity& identity)
{
    std::string text = "keys";
    for (std::size_t i = 0; i < identity.keyIds.size(); ++i)
        text += (i == 0 ? " " : ", ") + identity.keyIds[i];
    return text + "; server " + identity.server;
}
