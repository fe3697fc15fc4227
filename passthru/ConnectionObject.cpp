// The script object Connection and the server name of an HTTP Host header; see
// ConnectionObject.h.
#include "passthru/ConnectionObject.h"

#include "com/DiagnosticLog.h"
#include "idl/DispatchIds.h"
#include "passthru/TLSClientHello.h"

const CDispatchTable& CConnectionObject::GetDispatchTable() {
    using C = CConnectionObject;
    // Gets only: a put finds no member (DISP_E_MEMBERNOTFOUND), as for every read-only
    // property of the object model.
    static const CDispatchTable table(
        u"IConnection",
        {
            DispGet<&C::get_Protocol>(u"Protocol", DISPID_ICONNECTION_PROTOCOL),
            DispGet<&C::get_Address>(u"Address", DISPID_ICONNECTION_ADDRESS),
            DispGet<&C::get_ServerName>(u"ServerName", DISPID_ICONNECTION_SERVERNAME),
            DispGet<&C::get_ProcessName>(u"ProcessName", DISPID_ICONNECTION_PROCESSNAME),
        });
    return table;
}

CComPtr<CConnectionObject> CConnectionObject::Create(NetworkProtocol protocol,
                                                     std::string_view strAddress,
                                                     std::string_view strServerName,
                                                     const BSTR& bstrProcessName) {
    try {
        HRESULT hr = S_OK;
        CComPtr<CConnectionObject> ptrConnection = MakeObject<CConnectionObject>(&hr);
        if (!CheckResult(hr) || CheckExpression(!ptrConnection))
            return nullptr;
        ptrConnection->m_protocol = protocol;
        // Addresses and names are ASCII on the wire; converting keeps any stray byte
        // visible rather than dropping it.
        ptrConnection->m_bstrAddress = BSTR::FromUtf8(strAddress);
        ptrConnection->m_bstrServerName = BSTR::FromUtf8(strServerName);
        // A missing process name reads as an empty string, never as null.
        ptrConnection->m_bstrProcessName =
            bstrProcessName.IsNull() ? BSTR::Empty() : bstrProcessName;
        return ptrConnection;
    } catch (...) {
        ReportException("CConnectionObject::Create", CV_HERE);
        return nullptr;
    }
}

HRESULT CConnectionObject::get_Protocol(LONG* plProtocol) {
    if (CheckExpression(!plProtocol))
        return E_POINTER;
    *plProtocol = static_cast<LONG>(m_protocol);
    return S_OK;
}

HRESULT CConnectionObject::get_Address(BSTR* pbstrAddress) {
    if (CheckExpression(!pbstrAddress))
        return E_POINTER;
    *pbstrAddress = m_bstrAddress;
    return S_OK;
}

HRESULT CConnectionObject::get_ServerName(BSTR* pbstrServerName) {
    if (CheckExpression(!pbstrServerName))
        return E_POINTER;
    *pbstrServerName = m_bstrServerName;
    return S_OK;
}

HRESULT CConnectionObject::get_ProcessName(BSTR* pbstrProcessName) {
    if (CheckExpression(!pbstrProcessName))
        return E_POINTER;
    *pbstrProcessName = m_bstrProcessName;
    return S_OK;
}

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The lower-cased text of a bracketed IPv6 literal ("[::1]"), or empty when the text
// between the brackets holds anything but hex digits, colons and the dots of an embedded
// IPv4 part. Zone identifiers and future address forms are not hosts a filter can judge.
std::string IPv6Literal(std::string_view inner) {
    if (inner.empty() || inner.size() > 45 || inner.find(':') == std::string_view::npos)
        return {};
    std::string literal = "[";
    for (char c : inner) {
        if (!IsHexDigit(c) && c != ':' && c != '.')
            return {};
        literal.push_back(c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    literal.push_back(']');
    return literal;
}

}  // namespace

std::string ServerNameFromHTTPHost(std::string_view hostHeader) {
    // Optional white space around a header value is not part of it.
    const auto first = hostHeader.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    hostHeader = hostHeader.substr(first, hostHeader.find_last_not_of(" \t") - first + 1);

    std::string_view name = hostHeader;
    std::string_view port;
    if (hostHeader.front() == '[') {
        const auto close = hostHeader.find(']');
        if (close == std::string_view::npos)
            return {};
        name = hostHeader.substr(0, close + 1);
        port = hostHeader.substr(close + 1);
    } else if (const auto colon = hostHeader.find(':'); colon != std::string_view::npos) {
        name = hostHeader.substr(0, colon);
        port = hostHeader.substr(colon);
    }
    // A port is a colon and decimal digits (possibly none).
    if (!port.empty() &&
        (port.front() != ':' || port.find_first_not_of("0123456789", 1) != std::string_view::npos))
        return {};

    if (name.empty())
        return {};
    if (name.front() == '[')
        return IPv6Literal(name.substr(1, name.size() - 2));
    // "example.test." is the same host written as a fully qualified name.
    if (name.size() > 1 && name.back() == '.')
        name.remove_suffix(1);
    return CTLSClientHello::NormaliseHostName(name);
}
