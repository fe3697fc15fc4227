// Reads the processor, host name, root file system id and first network adapter's
// hardware address, and writes them into the machine fingerprint text.
#include "objects/MachineFingerprint.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "com/DiagnosticLog.h"
#include "com/Strings.h"

namespace {

// The value of a "name\t: value" line of /proc/cpuinfo, for the first processor only.
std::optional<unsigned long> CpuInfoField(std::string_view text, std::string_view name) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        // A blank line ends the first processor's block.
        if (line.empty())
            break;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string_view key = line.substr(0, colon);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
            key.remove_suffix(1);
        if (key != name)
            continue;
        const std::string value(line.substr(colon + 1));
        char* pEnd = nullptr;
        errno = 0;
        const unsigned long n = std::strtoul(value.c_str(), &pEnd, 10);
        if (pEnd == value.c_str() || errno)
            return std::nullopt;
        return n;
    }
    return std::nullopt;
}

std::optional<std::array<BYTE, 6>> FirstHardwareAddress() {
    ifaddrs* pList = nullptr;
    if (CheckExpression(getifaddrs(&pList) != 0))
        return std::nullopt;
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(pList, &freeifaddrs);
    std::optional<std::array<BYTE, 6>> best;
    int bestIndex = INT_MAX;
    for (const ifaddrs* p = pList; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_PACKET || (p->ifa_flags & IFF_LOOPBACK))
            continue;
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(p->ifa_addr);
        if (ll->sll_halen != 6 || ll->sll_ifindex >= bestIndex)
            continue;
        std::array<BYTE, 6> mac;
        std::memcpy(mac.data(), ll->sll_addr, 6);
        best = mac;
        bestIndex = ll->sll_ifindex;
    }
    return best;
}

}  // namespace

void CMachineFingerprint::ParseCpuInfo(std::string_view cpuinfo, WORD* pLevel, WORD* pRevision) {
    const unsigned long family = CpuInfoField(cpuinfo, "cpu family").value_or(0);
    const unsigned long model = CpuInfoField(cpuinfo, "model").value_or(0);
    const unsigned long stepping = CpuInfoField(cpuinfo, "stepping").value_or(0);
    *pLevel = static_cast<WORD>(family);
    *pRevision = static_cast<WORD>(((model & 0xFF) << 8) | (stepping & 0xFF));
}

HRESULT CMachineFingerprint::Collect(Facts* pFacts) {
    if (CheckExpression(!pFacts))
        return E_POINTER;
    try {
        Facts facts;
        facts.wProcessorArchitecture = 9;
        const long cpus = sysconf(_SC_NPROCESSORS_CONF);
        facts.dwNumberOfProcessors = cpus > 0 ? static_cast<DWORD>(cpus) : 1;

        std::ifstream in("/proc/cpuinfo");
        const std::string cpuinfo((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        ParseCpuInfo(cpuinfo, &facts.wProcessorLevel, &facts.wProcessorRevision);

        char name[HOST_NAME_MAX + 1] = {};
        if (CheckExpression(gethostname(name, sizeof name - 1) != 0))
            return HResultFromErrno(errno);
        facts.strComputerName = ToUpperSimple(std::string_view(name).substr(0, 15));

        struct statvfs vfs;
        if (CheckExpression(statvfs("/", &vfs) != 0))
            return HResultFromErrno(errno);
        facts.dwVolumeSerial = static_cast<DWORD>(vfs.f_fsid & 0xFFFFFFFFu);

        facts.mac = FirstHardwareAddress();
        *pFacts = std::move(facts);
        return S_OK;
    } catch (...) {
        return ReportException("CMachineFingerprint::Collect", CV_HERE);
    }
}

std::string CMachineFingerprint::Compose(const Facts& facts) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04x-%02x-%04x-%04x-",
                  static_cast<unsigned>(facts.wProcessorArchitecture),
                  static_cast<unsigned>(facts.dwNumberOfProcessors),
                  static_cast<unsigned>(facts.wProcessorLevel),
                  static_cast<unsigned>(facts.wProcessorRevision));
    std::string text = buffer;
    text += facts.strComputerName;
    std::snprintf(buffer, sizeof buffer, "-%08x-", static_cast<unsigned>(facts.dwVolumeSerial));
    text += buffer;
    if (facts.mac) {
        const auto& m = *facts.mac;
        std::snprintf(buffer, sizeof buffer, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2],
                      m[3], m[4], m[5]);
        text += buffer;
    }
    return text;
}
