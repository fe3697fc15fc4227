// CServerObject: the script object "Server", the utility object that every page, every
// application script and the boot script receive.
//
// It keeps no state between calls: each member is a self-contained service for scripts
// (URL and HTML encoding, an MD5 digest, the machine identifier, values under the
// product's registry key, plain HTTP fetches, a file download that can replace files, a
// restart of the system, and the categories of a URL from a classification server).
// Members that report a bool answer failures of the far side (an unreachable server, an
// HTTP error, a negative classification) with false and S_OK, so scripts can test the
// result without error handling; bad arguments and local failures (registry, files,
// memory) are failure statuses. Network members block the calling script's thread, each
// with its own time-outs and handles.
//
// Downloads land in the site directory (CORVANE_SITES, else the executable's directory);
// a target outside it is refused. A target that this process holds open (an open site)
// is not replaced under the service's feet: it goes on the pending-replacement list,
// which ApplyPendingReplacements() works off at the next start.
#pragma once

#include <filesystem>

#include "objects/ServerInterfaces.h"

class CRegistryStore;

class CServerObject
    : public CComObjectRoot<CServerObject, IDispatchImpl<CServerObject, IServerObject>> {
public:
    // pStore null means the machine's registry store; siteDirectory empty means the
    // program's site directory.
    explicit CServerObject(CRegistryStore* pStore = nullptr,
                           std::filesystem::path siteDirectory = {});

    static const CDispatchTable& GetDispatchTable();

    HRESULT URLEncode(BSTR strText, BSTR* pbstrVal) override;
    HRESULT MakeRemoteRequest(BSTR bstrURL, VARIANT* pvarResponse, bool* pbSuccess) override;
    HRESULT get_MachineId(BSTR* pVal) override;
    HRESULT get_RegistryKey(BSTR Name, VARIANT* pVal) override;
    HRESULT put_RegistryKey(BSTR Name, const VARIANT& newVal) override;
    HRESULT MD5Hash(BSTR strText, BSTR* bstrHash) override;
    HRESULT HTMLEncode(BSTR strText, BSTR* pbstrVal) override;
    HRESULT DownloadFile(BSTR bstrURL, BSTR bstrFilename, ByRef<bool> pbReboot,
                         bool* pbResult) override;
    HRESULT RebootWindows(bool* pbResult) override;
    HRESULT CheckURL(BSTR bstrServerURL, BSTR bstrURLToCheck, VARIANT* pvarResponse,
                     bool* pbSuccess) override;

    // The site directory: CORVANE_SITES, else the directory of the executable.
    static std::filesystem::path DefaultSiteDirectory();

private:
    CRegistryStore* Store() const;
    // The download target for a name: joined to the site directory and normalised;
    // E_ACCESSDENIED for a result outside it.
    HRESULT ResolveTarget(std::u16string_view strName, std::filesystem::path* pTarget) const;

    CRegistryStore* m_pStore;
    std::filesystem::path m_pathSites;
};
