// The hand-off record; see HandoffRecord.h.
#include "lsp/HandoffRecord.h"

#include <arpa/inet.h>

#include <cstring>

#include "com/DiagnosticLog.h"

namespace {

void PutLength(unsigned char* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool IsMappedV4(const in6_addr& a) {
    return IN6_IS_ADDR_V4MAPPED(&a);
}

}  // namespace

HRESULT CHandoffRecord::Build(const sockaddr* addr, socklen_t len, unsigned short privatePort,
                              const GUID& key, unsigned char* out, std::size_t* size) {
    if (CheckExpression(!addr || !out || !size))
        return E_POINTER;
    sockaddr_in v4{};
    const void* body = nullptr;
    std::size_t bodyLen = 0;
    sockaddr_in6 v6{};
    if (addr->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
        std::memcpy(&v4, addr, sizeof v4);
        std::memset(v4.sin_zero, 0, sizeof v4.sin_zero);
        body = &v4;
        bodyLen = sizeof v4;
    } else if (addr->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
        std::memcpy(&v6, addr, sizeof v6);
        const bool loopbackToService =
            IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr) && ntohs(v6.sin6_port) == privatePort;
        if (IsMappedV4(v6.sin6_addr) || loopbackToService) {
            v4.sin_family = AF_INET;
            v4.sin_port = v6.sin6_port;
            if (loopbackToService)
                v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            else
                std::memcpy(&v4.sin_addr, &v6.sin6_addr.s6_addr[12], 4);
            body = &v4;
            bodyLen = sizeof v4;
        } else {
            body = &v6;
            bodyLen = sizeof v6;
        }
    } else {
        CheckExpression(addr->sa_family != AF_INET && addr->sa_family != AF_INET6);
        return E_INVALIDARG;
    }
    PutLength(out, static_cast<std::uint32_t>(bodyLen));
    std::memcpy(out + 4, body, bodyLen);
    const auto bytes = key.ToBytes();
    std::memcpy(out + 4 + bodyLen, bytes.data(), bytes.size());
    *size = 4 + bodyLen + bytes.size();
    return S_OK;
}

HRESULT CHandoffRecord::Parse(const unsigned char* data, std::size_t size, sockaddr_storage* addr,
                              socklen_t* len, GUID* key, std::size_t* consumed) {
    if (CheckExpression(!data || !addr || !len || !key || !consumed))
        return E_POINTER;
    if (size < 4)
        return S_FALSE;
    std::uint32_t addrLen = 0;
    for (int i = 0; i < 4; ++i)
        addrLen |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    if (CheckExpression(addrLen > kMaxAddressSize || addrLen > sizeof(sockaddr_storage)))
        return E_INVALIDARG;
    if (size < 20 + std::size_t(addrLen))
        return S_FALSE;
    *addr = sockaddr_storage{};
    std::memcpy(addr, data + 4, addrLen);
    *len = static_cast<socklen_t>(addrLen);
    *key = GUID::FromBytes(data + 4 + addrLen);
    *consumed = 20 + std::size_t(addrLen);
    return S_OK;
}

bool CHandoffRecord::IsLoopbackHost(const sockaddr* addr, socklen_t len) {
    if (!addr)
        return false;
    if (addr->sa_family == AF_INET && len >= sizeof(sockaddr_in))
        return reinterpret_cast<const sockaddr_in*>(addr)->sin_addr.s_addr ==
               htonl(INADDR_LOOPBACK);
    if (addr->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6)) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a))
            return true;
        std::uint32_t v4;
        std::memcpy(&v4, &a.s6_addr[12], 4);
        return IsMappedV4(a) && v4 == htonl(INADDR_LOOPBACK);
    }
    return false;
}

unsigned short CHandoffRecord::PortOf(const sockaddr* addr, socklen_t len) {
    if (addr && addr->sa_family == AF_INET && len >= sizeof(sockaddr_in))
        return reinterpret_cast<const sockaddr_in*>(addr)->sin_port;
    if (addr && addr->sa_family == AF_INET6 && len >= sizeof(sockaddr_in6))
        return reinterpret_cast<const sockaddr_in6*>(addr)->sin6_port;
    return 0;
}
