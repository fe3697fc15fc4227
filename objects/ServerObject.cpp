// The script object Server: encodings, digest, machine identifier, registry values,
// HTTP fetches, downloads, restart and URL categories.
#include "objects/ServerObject.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "com/CodePage.h"
#include "com/DiagnosticLog.h"
#include "com/SafeArray.h"
#include "idl/DispatchIds.h"
#include "objects/CategoryClient.h"
#include "objects/FileInUse.h"
#include "objects/HTTPFetch.h"
#include "objects/MachineFingerprint.h"
#include "objects/PendingReplacements.h"
#include "objects/SystemReboot.h"
#include "objects/TextEncoder.h"
#include "registry/RegistryStore.h"

namespace {

constexpr std::string_view kMachineIdValue = "CV_MachineID";
// WinINet's "header not found", what a response without Content-Length gives.
constexpr long ERROR_HTTP_HEADER_NOT_FOUND = 12150;

bool IsNotFound(HRESULT hr) {
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

// Script text in the ANSI code page (UTF-8 here).
HRESULT ToAnsi(std::u16string_view text, std::string* pOut) {
    return UnicodeToMultiByte(CP_ACP, text, pOut);
}

// A descriptor closed at scope exit, and a temporary file removed unless kept.
class CTempFile {
public:
    CTempFile() = default;
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;
    ~CTempFile() {
        Close();
        if (!m_strPath.empty())
            ::unlink(m_strPath.c_str());
    }
    HRESULT Create(const std::filesystem::path& dir) {
        std::string strTemplate = (dir / "cvXXXXXX").string();
        m_fd = ::mkostemp(strTemplate.data(), O_CLOEXEC);
        if (CheckExpression(m_fd < 0))
            return HResultFromErrno(errno);
        m_strPath = std::move(strTemplate);
        return S_OK;
    }
    HRESULT Write(const char* data, std::size_t size) {
        while (size) {
            const ssize_t n = ::write(m_fd, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (CheckExpression(n <= 0))
                return HResultFromErrno(n < 0 ? errno : EIO);
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return S_OK;
    }
    // Flushes the contents to disk and closes, taking over an existing target's mode.
    HRESULT Finish(const std::filesystem::path& target) {
        struct stat st;
        if (::stat(target.c_str(), &st) == 0)
            CheckExpression(::fchmod(m_fd, st.st_mode & 07777) != 0);
        if (CheckExpression(::fsync(m_fd) != 0))
            return HResultFromErrno(errno);
        const int rc = ::close(std::exchange(m_fd, -1));
        if (CheckExpression(rc != 0))
            return HResultFromErrno(errno);
        return S_OK;
    }
    // The file stays where it is from now on.
    void Keep() { m_strPath.clear(); }
    const std::string& Path() const { return m_strPath; }

private:
    void Close() {
        if (m_fd >= 0)
            ::close(std::exchange(m_fd, -1));
    }
    int m_fd = -1;
    std::string m_strPath;
};

std::filesystem::path ExecutableDirectory() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path(ec) : exe.parent_path();
}

}  // namespace

CServerObject::CServerObject(CRegistryStore* pStore, std::filesystem::path siteDirectory)
    : m_pStore(pStore), m_pathSites(std::move(siteDirectory)) {}

const CDispatchTable& CServerObject::GetDispatchTable() {
    static const CDispatchTable table(
        u"IServerObject",
        {
            DispMethod<&CServerObject::URLEncode>(u"URLEncode", DISPID_ISERVEROBJECT_URLENCODE),
            DispMethod<&CServerObject::MakeRemoteRequest>(u"MakeRemoteRequest",
                                                          DISPID_ISERVEROBJECT_MAKEREMOTEREQUEST),
            DispGet<&CServerObject::get_MachineId>(u"MachineId", DISPID_ISERVEROBJECT_MACHINEID),
            DispGet<&CServerObject::get_RegistryKey>(u"RegistryKey",
                                                     DISPID_ISERVEROBJECT_REGISTRYKEY),
            DispPut<&CServerObject::put_RegistryKey>(u"RegistryKey",
                                                     DISPID_ISERVEROBJECT_REGISTRYKEY),
            DispMethod<&CServerObject::MD5Hash>(u"MD5Hash", DISPID_ISERVEROBJECT_MD5HASH),
            DispMethod<&CServerObject::HTMLEncode>(u"HTMLEncode", DISPID_ISERVEROBJECT_HTMLENCODE),
            DispMethod<&CServerObject::DownloadFile>(u"DownloadFile",
                                                     DISPID_ISERVEROBJECT_DOWNLOADFILE),
            DispMethod<&CServerObject::RebootWindows>(u"RebootWindows",
                                                      DISPID_ISERVEROBJECT_REBOOTWINDOWS),
            DispMethod<&CServerObject::CheckURL>(u"CheckURL", DISPID_ISERVEROBJECT_CHECKURL),
        });
    return table;
}

CRegistryStore* CServerObject::Store() const {
    return m_pStore ? m_pStore : REGISTRY_STORE::instance();
}

std::filesystem::path CServerObject::DefaultSiteDirectory() {
    const char* pszSites = std::getenv("CORVANE_SITES");
    return pszSites && *pszSites ? std::filesystem::path(pszSites) : ExecutableDirectory();
}

HRESULT CServerObject::URLEncode(BSTR strText, BSTR* pbstrVal) {
    if (CheckExpression(!pbstrVal))
        return E_POINTER;
    try {
        *pbstrVal = BSTR(CTextEncoder::URLEncode(strText.View()));
        return S_OK;
    } catch (...) {
        return ReportException("CServerObject::URLEncode", CV_HERE);
    }
}

HRESULT CServerObject::HTMLEncode(BSTR strText, BSTR* pbstrVal) {
    if (CheckExpression(!pbstrVal))
        return E_POINTER;
    try {
        *pbstrVal = BSTR(CTextEncoder::HTMLEncode(strText.View()));
        return S_OK;
    } catch (...) {
        return ReportException("CServerObject::HTMLEncode", CV_HERE);
    }
}

HRESULT CServerObject::MD5Hash(BSTR strText, BSTR* bstrHash) {
    if (CheckExpression(!bstrHash))
        return E_POINTER;
    try {
        std::string bytes, hex;
        HRESULT hr = ToAnsi(strText.View(), &bytes);
        if (!CheckResult(hr))
            return hr;
        hr = CTextEncoder::MD5Hex(bytes, &hex);
        if (!CheckResult(hr))
            return hr;
        *bstrHash = BSTR::FromUtf8(hex);
        return S_OK;
    } catch (...) {
        return ReportException("CServerObject::MD5Hash", CV_HERE);
    }
}

HRESULT CServerObject::get_MachineId(BSTR* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    try {
        CRegistryStore* pStore = Store();
        if (CheckExpression(!pStore))
            return E_OUTOFMEMORY;
        // A key or value that is not there yet (a fresh store) means "not computed".
        CRegistryValue value;
        HRESULT hr = pStore->GetValue(kCorvaneKey, kMachineIdValue, &value);
        if (FAILED(hr) && !IsNotFound(hr))
            return CheckResultValue(hr);
        std::string idkey;
        if (SUCCEEDED(hr) && value.Type() == REG_SZ && SUCCEEDED(value.GetString(&idkey)) &&
            !idkey.empty()) {
            *pVal = BSTR::FromUtf8(idkey);
            return S_OK;
        }

        CMachineFingerprint::Facts facts;
        hr = CMachineFingerprint::Collect(&facts);
        if (!CheckResult(hr))
            return hr;
        hr = CTextEncoder::MD5Hex(CMachineFingerprint::Compose(facts), &idkey);
        if (!CheckResult(hr))
            return hr;
        hr = pStore->SetString(kCorvaneKey, kMachineIdValue, idkey);
        if (!CheckResult(hr))
            return hr;
        *pVal = BSTR::FromUtf8(idkey);
        return S_OK;
    } catch (...) {
        return ReportException("CServerObject::get_MachineId", CV_HERE);
    }
}

HRESULT CServerObject::get_RegistryKey(BSTR Name, VARIANT* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    try {
        CRegistryStore* pStore = Store();
        if (CheckExpression(!pStore))
            return E_OUTOFMEMORY;
        std::string strName;
        HRESULT hr = ToAnsi(Name.View(), &strName);
        if (!CheckResult(hr))
            return hr;
        CRegistryValue value;
        hr = pStore->GetValue(kCorvaneKey, strName, &value);
        VariantClear(pVal);
        if (IsNotFound(hr))
            return S_OK;  // Empty
        if (!CheckResult(hr))
            return hr;
        switch (value.Type()) {
            case REG_DWORD: {
                DWORD dw = 0;
                hr = value.GetDword(&dw);
                if (!CheckResult(hr))
                    return hr;
                CComVariant(static_cast<LONG>(dw)).Detach(pVal);
                return S_OK;
            }
            case REG_SZ: {
                std::string text;
                hr = value.GetString(&text);
                if (!CheckResult(hr))
                    return hr;
                CComVariant(BSTR::FromUtf8(text)).Detach(pVal);
                return S_OK;
            }
            default:
                CheckExpressionAt(true, "E_INVALIDARG", CV_HERE);
                return E_INVALIDARG;
        }
    } catch (...) {
        return ReportException("CServerObject::get_RegistryKey", CV_HERE);
    }
}

HRESULT CServerObject::put_RegistryKey(BSTR Name, const VARIANT& newVal) {
    try {
        CRegistryStore* pStore = Store();
        if (CheckExpression(!pStore))
            return E_OUTOFMEMORY;
        std::string strName;
        HRESULT hr = ToAnsi(Name.View(), &strName);
        if (!CheckResult(hr))
            return hr;
        CComVariant value;
        hr = VariantCopyInd(&value, &newVal);
        if (!CheckResult(hr))
            return hr;
        switch (value.vt) {
            case VT_I2:
            case VT_I4:
            case VT_BOOL:
            case VT_I1:
            case VT_UI1:
            case VT_UI2:
            case VT_UI4:
            case VT_INT:
            case VT_UINT: {
                // Unsigned types keep their full range; signed ones are stored as their
                // two's complement bits, so -1 reads back as -1.
                const bool bUnsigned = value.vt == VT_UI4 || value.vt == VT_UINT;
                hr = value.ChangeType(bUnsigned ? VT_UI4 : VT_I4);
                if (!CheckResult(hr))
                    return hr;
                const DWORD dw = bUnsigned ? value.ulVal : static_cast<DWORD>(value.lVal);
                return CheckResultValue(pStore->SetDword(kCorvaneKey, strName, dw));
            }
            default: {
                hr = value.ChangeType(VT_BSTR);
                if (!CheckResult(hr))
                    return hr;
                std::string text;
                hr = ToAnsi(value.Text(), &text);
                if (!CheckResult(hr))
                    return hr;
                return CheckResultValue(pStore->SetString(kCorvaneKey, strName, text));
            }
        }
    } catch (...) {
        return ReportException("CServerObject::put_RegistryKey", CV_HERE);
    }
}

HRESULT CServerObject::MakeRemoteRequest(BSTR bstrURL, VARIANT* pvarResponse, bool* pbSuccess) {
    if (CheckExpression(!pbSuccess || !pvarResponse))
        return E_POINTER;
    *pbSuccess = false;
    if (CheckExpression(bstrURL.IsNull()))
        return E_INVALIDARG;
    try {
        std::string strURL, body;
        HRESULT hr = ToAnsi(bstrURL.View(), &strURL);
        if (!CheckResult(hr))
            return hr;
        CHTTPFetch::Result result;
        hr = CHTTPFetch::Fetch(
            strURL, CHTTPFetch::Options(),
            [&](const char* data, std::size_t size) {
                body.append(data, size);
                return S_OK;
            },
            &result);
        if (!CheckResult(hr))
            return hr;
        switch (result.outcome) {
            case CHTTPFetch::Outcome::Unreachable:
            case CHTTPFetch::Outcome::BadStatus:
                // The far side failed: the script gets the reason and false.
                CheckExpressionAt(true, result.strMessage.c_str(), CV_HERE);
                VariantClear(pvarResponse);
                CComVariant(BSTR::FromUtf8(result.strMessage)).Detach(pvarResponse);
                return S_OK;
            case CHTTPFetch::Outcome::NoContentLength:
                CheckExpressionAt(true, "!HttpQueryInfo(HTTP_QUERY_CONTENT_LENGTH)", CV_HERE);
                return HRESULT_FROM_WIN32(ERROR_HTTP_HEADER_NOT_FOUND);
            case CHTTPFetch::Outcome::TooLarge:
                CheckExpressionAt(true, "dwContentLen > cbMaxBody", CV_HERE);
                return E_OUTOFMEMORY;
            case CHTTPFetch::Outcome::Short:
            case CHTTPFetch::Outcome::SinkFailed:
                CheckExpressionAt(true, "n != dwContentLen", CV_HERE);
                return E_FAIL;
            case CHTTPFetch::Outcome::Complete:
                break;
        }

        const std::string& type =
            result.strContentType.empty() ? std::string("text/plain") : result.strContentType;
        VariantClear(pvarResponse);
        if (type.compare(0, 10, "text/plain") == 0 || type.compare(0, 9, "text/html") == 0) {
            std::u16string text;
            hr = MultiByteToUnicode(CP_ACP, body, &text);
            if (!CheckResult(hr))
                return hr;
            CComVariant(BSTR(std::move(text))).Detach(pvarResponse);
        } else {
            SAFEARRAY* psa = SafeArrayCreateVector(VT_I1, 0, static_cast<ULONG>(body.size()));
            if (CheckExpression(!psa))
                return E_OUTOFMEMORY;
            if (!body.empty())
                std::memcpy(psa->pvData, body.data(), body.size());
            pvarResponse->vt = VT_ARRAY | VT_I1;
            pvarResponse->parray = psa;
        }
        *pbSuccess = true;
        return S_OK;
    } catch (...) {
        return ReportException("CServerObject::MakeRemoteRequest", CV_HERE);
    }
}

HRESULT CServerObject::ResolveTarget(std::u16string_view strName,
                                     std::filesystem::path* pTarget) const {
    if (CheckExpression(strName.empty() || strName.find(u'\0') != std::u16string_view::npos))
        return E_INVALIDARG;
    std::error_code ec;
    // Links are followed on both sides, so a link cannot lead out unseen.
    const std::filesystem::path dir = std::filesystem::weakly_canonical(
        m_pathSites.empty() ? DefaultSiteDirectory() : m_pathSites, ec);
    if (CheckExpression(ec))
        return HResultFromErrno(ec.value());
    const std::filesystem::path full = std::filesystem::weakly_canonical(
        (dir / std::filesystem::path(Utf16ToUtf8(strName))).lexically_normal(), ec);
    if (CheckExpression(ec))
        return HResultFromErrno(ec.value());
    const std::filesystem::path rel = full.lexically_relative(dir);
    if (CheckExpression(rel.empty() || rel == "." || *rel.begin() == ".."))
        return E_ACCESSDENIED;
    *pTarget = full;
    return S_OK;
}

HRESULT CServerObject::DownloadFile(BSTR bstrURL, BSTR bstrFilename, ByRef<bool> pbReboot,
                                    bool* pbResult) {
    if (CheckExpression(!pbResult || !pbReboot.Get()))
        return E_POINTER;
    *pbResult = false;
    if (CheckExpression(bstrURL.IsNull() || bstrFilename.IsNull()))
        return E_INVALIDARG;
    try {
        std::filesystem::path target;
        HRESULT hr = ResolveTarget(bstrFilename.View(), &target);
        if (FAILED(hr))
            return hr;
        std::error_code ec;
        if (CheckExpression(std::filesystem::is_directory(target, ec)))
            return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        if (CheckExpression(!std::filesystem::is_directory(target.parent_path(), ec)))
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        std::string strURL;
        hr = ToAnsi(bstrURL.View(), &strURL);
        if (!CheckResult(hr))
            return hr;

        // The body goes straight into a temporary file beside the target, so that the
        // final move is a rename within one file system.
        CTempFile temp;
        hr = temp.Create(target.parent_path());
        if (FAILED(hr))
            return hr;
        CHTTPFetch::Options options;
        options.bOnly200 = true;
        options.cbMaxBody = ~0ull;
        CHTTPFetch::Result result;
        hr = CHTTPFetch::Fetch(
            strURL, options,
            [&](const char* data, std::size_t size) { return temp.Write(data, size); }, &result);
        if (!CheckResult(hr))
            return hr;
        switch (result.outcome) {
            case CHTTPFetch::Outcome::Unreachable:
                CheckExpressionAt(true, result.strMessage.c_str(), CV_HERE);
                LogTrace("*** DOWNLOAD ERROR ***\nWhile trying to download: %s\n%s\n",
                         strURL.c_str(), result.strMessage.c_str());
                return S_OK;
            case CHTTPFetch::Outcome::BadStatus:
                LogTrace(
                    "*** DOWNLOAD ERROR ***\nWhile trying to download: %s\nReturned HTTP status "
                    "code: %d\n",
                    strURL.c_str(), static_cast<int>(result.lStatus));
                return S_OK;
            case CHTTPFetch::Outcome::NoContentLength:
                CheckExpressionAt(true, "!HttpQueryInfo(HTTP_QUERY_CONTENT_LENGTH)", CV_HERE);
                return HRESULT_FROM_WIN32(ERROR_HTTP_HEADER_NOT_FOUND);
            case CHTTPFetch::Outcome::TooLarge:
            case CHTTPFetch::Outcome::Short:
                CheckExpressionAt(true, "n != dwContentLen", CV_HERE);
                return E_FAIL;
            case CHTTPFetch::Outcome::SinkFailed:
                return result.hrSink;
            case CHTTPFetch::Outcome::Complete:
                break;
        }
        hr = temp.Finish(target);
        if (FAILED(hr))
            return hr;

        if (!IsFileOpenInThisProcess(target)) {
            if (::rename(temp.Path().c_str(), target.c_str()) == 0) {
                LogTrace("Replaced file %s with contents of %s after download\n", target.c_str(),
                         temp.Path().c_str());
                temp.Keep();
                *pbResult = true;
                return S_OK;
            }
            if (CheckExpression(errno != EBUSY && errno != ETXTBSY))
                return HResultFromErrno(errno);
        }
        // The service itself reads the target: it is replaced at the next start.
        hr = CPendingReplacements(m_pStore ? CPendingReplacements::ListPathBeside(m_pStore->Path())
                                           : CPendingReplacements::DefaultListPath())
                 .Add(temp.Path(), target);
        if (!CheckResult(hr))
            return hr;
        LogTrace("File %s will be replaced with contents of %s after reboot\n", target.c_str(),
                 temp.Path().c_str());
        temp.Keep();
        *pbReboot = true;
        *pbResult = true;
        return S_OK;
    } catch (...) {
        return ReportException("CServerObject::DownloadFile", CV_HERE);
    }
}

HRESULT CServerObject::RebootWindows(bool* pbResult) {
    if (CheckExpression(!pbResult))
        return E_POINTER;
    return CSystemReboot::Request(pbResult);
}

HRESULT CServerObject::CheckURL(BSTR bstrServerURL, BSTR bstrURLToCheck, VARIANT* pvarResponse,
                                bool* pbSuccess) {
    if (CheckExpression(!pvarResponse || !pbSuccess))
        return E_POINTER;
    *pbSuccess = false;
    if (CheckExpression(bstrServerURL.IsNull()))
        return E_INVALIDARG;
    if (CheckExpression(bstrURLToCheck.IsNull()))
        return E_INVALIDARG;
    try {
        std::string strServer, strURL, strCategories;
        HRESULT hr = ToAnsi(bstrServerURL.View(), &strServer);
        if (!CheckResult(hr))
            return hr;
        hr = ToAnsi(bstrURLToCheck.View(), &strURL);
        if (!CheckResult(hr))
            return hr;
        bool bSuccess = false;
        hr = CCategoryClient::Query(strServer, strURL, &strCategories, &bSuccess);
        if (FAILED(hr))
            return hr;
        if (bSuccess) {
            VariantClear(pvarResponse);
            CComVariant(BSTR::FromUtf8(strCategories)).Detach(pvarResponse);
        }
        *pbSuccess = bSuccess;
        return S_OK;
    } catch (...) {
        return ReportException("CServerObject::CheckURL", CV_HERE);
    }
}
