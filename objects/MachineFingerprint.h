// CMachineFingerprint: the facts about this machine from which the Server object derives
// its machine identifier, and the text they are written into.
//
// The text keeps the layout the identifier has always had, so that one machine keeps one
// identifier: "%04x-%02x-%04x-%04x-" of processor architecture (9, x86-64), the number
// of configured processors, the CPU family and (model << 8) | stepping; the host name
// upper-cased and cut to 15 characters; "-%08x-" of the low 32 bits of the root file
// system's id; then, when the machine has a network interface other than loopback with
// a 6-byte hardware address, that address of the one with the lowest index as
// "%02X:%02X:%02X:%02X:%02X:%02X".
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "com/HResult.h"
#include "com/Types.h"

class CMachineFingerprint {
public:
    struct Facts {
        WORD wProcessorArchitecture = 9;
        DWORD dwNumberOfProcessors = 0;
        WORD wProcessorLevel = 0;     // CPU family
        WORD wProcessorRevision = 0;  // (model << 8) | stepping
        std::string strComputerName;  // upper case, at most 15 characters
        DWORD dwVolumeSerial = 0;
        std::optional<std::array<BYTE, 6>> mac;
    };

    // Gathers the facts from the running system. A failure to read the host name or
    // the root file system is returned; a missing /proc/cpuinfo field leaves 0.
    static HRESULT Collect(Facts* pFacts);

    // The fingerprint text of the facts.
    static std::string Compose(const Facts& facts);

    // The family and (model << 8) | stepping of the first processor in the text of
    // /proc/cpuinfo.
    static void ParseCpuInfo(std::string_view cpuinfo, WORD* pLevel, WORD* pRevision);
};
