// The storage manager: booting the embedded site, the page search across sites and
// languages, the page and entity caches, and the external sites.
#include "storage/StorageManager.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>

#include "cfb/MemoryLockBytes.h"
#include "cfb/StgOpen.h"
#include "com/DiagnosticLog.h"
#include "com/Locale.h"
#include "com/Strings.h"
#include "idl/ServiceInterfaces.h"
#include "objects/ApplicationObject.h"
#include "objects/ServerObject.h"
#include "storage/PageRecord.h"
#include "storage/StorageObject.h"

namespace {

constexpr DWORD kReadMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr std::u16string_view kRootPath = u"\u00A3";
constexpr std::u16string_view kCommonFolder = u"Common";
constexpr std::u16string_view kGlobalAsa = u"global.asa";
constexpr std::u16string_view kBootAsa = u"boot.asa";

// A language folder's name: "0x" and the LCID in lower-case hex without leading zeros.
std::u16string LanguageFolder(LCID lcid) {
    char text[16];
    std::snprintf(text, sizeof text, "%#x", static_cast<unsigned>(lcid));
    return Utf8ToUtf16(text);
}

// The directory of the running executable; the current directory when it cannot be read.
std::filesystem::path ExecutableDirectory() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path(ec);
    return exe.parent_path();
}

// The folder path of a page path as the open-folder map keys it: "£/" and everything
// before the last "/", upper-cased because folder names compare by the format's rule.
std::u16string FolderKey(std::u16string_view strFolderPath) {
    return ToUpperSimple(strFolderPath);
}

}  // namespace

size_t CStorageManager::CacheKeyHash::operator()(const CacheKey& key) const {
    return std::hash<std::u16string>()(key.strName) * 31 + key.lcid;
}

CStorageManager::CStorageManager() {
    m_criticalFailureHandler = [](std::u16string_view title, std::u16string_view text) {
        const std::string message = Utf16ToUtf8(title) + ": " + Utf16ToUtf8(text);
        const SourceLocation where = CV_HERE;
        WriteLog(message, &where);
    };
}

CStorageManager::~CStorageManager() = default;

HRESULT CStorageManager::SetEmbeddedSite(std::span<const BYTE> bytes, const FILETIME& ctime,
                                         const FILETIME& atime, const FILETIME& mtime,
                                         std::u16string strFileName) {
    CCritSecLock lock(m_cs);
    if (CheckExpression(m_storageMain.ptrRoot))
        return E_UNEXPECTED;
    m_embeddedBytes = bytes;
    m_ctime = ctime;
    m_atime = atime;
    m_mtime = mtime;
    m_strEmbeddedName = std::move(strFileName);
    return S_OK;
}

void CStorageManager::SetSiteDirectory(std::filesystem::path dir) {
    CCritSecLock lock(m_cs);
    m_dirSites = std::move(dir);
}

void CStorageManager::SetCriticalFailureHandler(CriticalFailureHandler handler) {
    CCritSecLock lock(m_cs);
    m_criticalFailureHandler = std::move(handler);
}

void CStorageManager::SetTracing(bool fTrace) {
    CCritSecLock lock(m_cs);
    m_fTrace = fTrace;
}

HRESULT CStorageManager::CheckStarted() {
    try {
        // Held for the whole boot: the boot script calls back into the manager.
        CCritSecLock lock(m_cs);
        if (m_storageMain.ptrRoot)
            return S_OK;
        if (CheckExpression(m_embeddedBytes.empty()))
            return E_UNEXPECTED;
        HRESULT hr = S_OK;
        CComPtr<CMemoryLockBytes> ptrBytes =
            MakeObject<CMemoryLockBytes>(&hr, m_embeddedBytes, m_strEmbeddedName);
        if (!CheckResult(hr))
            return hr;
        ptrBytes->SetTimes(m_ctime, m_atime, m_mtime);
        CComPtr<IStorage> ptrRoot;
        hr = StgOpenStorageOnILockBytes(ptrBytes.Get(), nullptr, kReadMode, nullptr, 0,
                                        ptrRoot.Receive());
        if (!CheckResult(hr))
            return hr;
        // From here on the manager counts as started, whatever the boot script does.
        m_storageMain.ptrRoot = ptrRoot;
        return CheckResultValue(RunBootScript());
    } catch (...) {
        return ReportException("CStorageManager::CheckStarted", CV_HERE);
    }
}

HRESULT CStorageManager::RunBootScript() {
    // Called by CheckStarted with the lock held: the boot script's calls back into the
    // manager re-enter it on this thread.
    HRESULT hr = S_OK;
    CComPtr<CApplicationObject> ptrApplication = MakeObject<CApplicationObject>(&hr);
    if (!CheckResult(hr))
        return hr;
    m_ptrApplication = ptrApplication;

    const LCID lcid = GetSystemDefaultLCID();
    CComPtr<IScriptEntity> ptrEntity;
    hr = LoadEntity(lcid, kBootAsa, IIDOf<IScriptEntity>(),
                    reinterpret_cast<IUnknown**>(ptrEntity.Receive()));
    if (hr == STG_E_FILENOTFOUND) {
        // A site without a boot script keeps the default settings.
        LogTrace("The site has no boot.asa: booted with the default settings");
        return S_OK;
    }
    if (!CheckResult(hr))
        return hr;
    CComPtr<IScriptInstance> ptrSI;
    hr = ptrEntity->Instantiate(ptrSI.Receive());
    if (!CheckResult(hr))
        return hr;

    const auto Finish = [&](HRESULT hrRun) {
        // Whatever the script did, the storage object leaves the application, the
        // script's locks are left and the instance is closed.
        ptrApplication->RemoveStaticObject(BSTR(u"Storage"), nullptr);
        ptrApplication->ReleaseScriptLocks();
        const HRESULT hrClose = ptrSI->Close();
        CheckResultAt(hrClose, "ptrSI->Close()", CV_HERE);
        return FAILED(hrRun) ? hrRun : hrClose;
    };

    CComPtr<IDispatch> ptrAppDisp;
    hr = ptrSI->GetNamedObject(BSTR(u"Application"), ptrAppDisp.Receive());
    if (!CheckResult(hr))
        return Finish(hr);
    CComPtr<IApplicationEx> ptrAppEx = ComQuery<IApplicationEx>(ptrAppDisp.Get());
    if (CheckExpression(!ptrAppEx))
        return Finish(E_UNEXPECTED);
    CComPtr<CStorageObject> ptrStorage = MakeObject<CStorageObject>(&hr);
    if (!CheckResult(hr))
        return Finish(hr);
    hr = ptrAppEx->AddStaticObject(BSTR(u"Storage"), ptrStorage.Get());
    if (!CheckResult(hr))
        return Finish(hr);
    hr = AddServerObject(ptrSI.Get());
    if (!CheckResult(hr))
        return Finish(hr);
    hr = ptrSI->Run();
    if (!CheckResult(hr))
        return Finish(hr);
    hr = InvokeProcedure(ptrSI.Get(), u"Application_OnBoot", lcid);
    if (!CheckResult(hr))
        return Finish(hr);

    // The boot script's entity is not kept.
    hr = ptrEntity->Close();
    if (CheckResultAt(hr, "ptrEnt->Close()", CV_HERE))
        m_mapEntities.erase(CacheKey{lcid, ToUpperSimple(kBootAsa)});
    return Finish(hr);
}

HRESULT CStorageManager::AddServerObject(IScriptInstance* pSI) {
    // Application-file instances normally carry one already.
    CComPtr<IDispatch> ptrExisting;
    if (SUCCEEDED(pSI->GetNamedObject(BSTR(u"Server"), ptrExisting.Receive())) && ptrExisting)
        return S_OK;
    HRESULT hr = S_OK;
    CComPtr<CServerObject> ptrServer = MakeObject<CServerObject>(&hr);
    if (!CheckResult(hr))
        return hr;
    return CheckResultValue(
        pSI->AddNamedObject(BSTR(u"Server"), static_cast<IDispatch*>(ptrServer.Get())));
}

HRESULT CStorageManager::InvokeProcedure(IScriptInstance* pSI, std::u16string_view strName,
                                         LCID lcid) {
    DISPPARAMS params{};
    CComVariant varResult;
    EXCEPINFO excepInfo{};
    UINT uArgErr = 0;
    const HRESULT hr = pSI->Invoke(BSTR(strName), GUID_NULL, lcid, DISPATCH_METHOD, &params,
                                   &varResult, &excepInfo, &uArgErr);
    // A file without the procedure has nothing to do at that moment; refusing to load it
    // would stop every page and connection that needs it.
    if (hr == DISP_E_UNKNOWNNAME)
        return S_OK;
    return CheckResultValue(hr);
}

HRESULT CStorageManager::RunApplicationOnStart(IUnknown* pEntity, LCID lcid) {
    if (CheckExpression(!pEntity))
        return E_POINTER;
    CComPtr<IScriptEntity> ptrEntity = ComQuery<IScriptEntity>(pEntity);
    if (CheckExpression(!ptrEntity))
        return E_NOINTERFACE;
    CComPtr<IScriptInstance> ptrSI;
    HRESULT hr = ptrEntity->Instantiate(ptrSI.Receive());
    if (!CheckResult(hr))
        return hr;
    hr = AddServerObject(ptrSI.Get());
    if (CheckResult(hr))
        hr = ptrSI->Run();
    if (CheckResult(hr))
        hr = InvokeProcedure(ptrSI.Get(), u"Application_OnStart", lcid);
    CComPtr<IApplication> ptrApplication;
    {
        CCritSecLock lock(m_cs);
        ptrApplication = m_ptrApplication;
    }
    if (ptrApplication)
        if (CComPtr<IApplicationEx> ptrAppEx = ComQuery<IApplicationEx>(ptrApplication.Get()))
            ptrAppEx->ReleaseScriptLocks();
    const HRESULT hrClose = ptrSI->Close();
    CheckResultAt(hrClose, "ptrSI->Close()", CV_HERE);
    return FAILED(hr) ? hr : hrClose;
}

HRESULT CStorageManager::GetApplication(IApplication** ppApplication) {
    if (CheckExpression(!ppApplication))
        return E_POINTER;
    *ppApplication = nullptr;
    const HRESULT hr = CheckStarted();
    if (!CheckResult(hr))
        return hr;
    CCritSecLock lock(m_cs);
    if (CheckExpression(!m_ptrApplication))
        return E_UNEXPECTED;
    *ppApplication = CComPtr<IApplication>(m_ptrApplication).Detach();
    return S_OK;
}

HRESULT CStorageManager::LoadEntity(LCID lcid, std::u16string_view strName, const IID& riid,
                                    IUnknown** ppEntity) {
    const HRESULT hr = LoadEntity_i(lcid, strName, riid, ppEntity);
    if (FAILED(hr) && EqualsNoCase(strName, kGlobalAsa)) {
        try {
            CriticalFailureHandler handler;
            {
                CCritSecLock lock(m_cs);
                handler = m_criticalFailureHandler;
            }
            if (handler)
                handler(u"Critical Failure",
                        u"Failed to load global.asa successfully.\n\nContact your support line "
                        u"for further advice.");
        } catch (...) {
            ReportException("CStorageManager::LoadEntity", CV_HERE);
        }
    }
    return hr;
}

HRESULT CStorageManager::LoadEntity_i(LCID lcid, std::u16string_view strName, const IID& riid,
                                      IUnknown** ppEntity) {
    if (CheckExpression(!ppEntity))
        return E_POINTER;
    *ppEntity = nullptr;
    try {
        HRESULT hr = CheckStarted();
        if (!CheckResult(hr))
            return hr;
        CacheKey key{lcid, {}};
        {
            CCritSecLock lock(m_cs);
            key.strName = ToUpperSimple(strName == u"/" ? m_strDefaultPage : strName);
            const auto it = m_mapEntities.find(key);
            if (it != m_mapEntities.end())
                return CheckResultValue(
                    it->second->QueryInterface(riid, reinterpret_cast<void**>(ppEntity)));
        }

        CComPtr<IPage> ptrPage;
        hr = LoadPage(lcid, strName, ptrPage.Receive());
        if (!CheckResult(hr))
            return hr;
        CComPtr<IUnknown> ptrEntity;
        CComPtr<IApplication> ptrApplication;
        {
            CCritSecLock lock(m_cs);
            ptrApplication = m_ptrApplication;
        }
        hr = ptrPage->CreateEntity(riid, ptrApplication.Get(), ptrEntity.Receive());
        if (!CheckResult(hr))
            return hr;
        if (EqualsNoCase(strName, kGlobalAsa)) {
            hr = RunApplicationOnStart(ptrEntity.Get(), lcid);
            if (!CheckResult(hr))
                return hr;
        }

        CComPtr<IUnknown> ptrSurplus;
        {
            CCritSecLock lock(m_cs);
            const auto [it, fInserted] = m_mapEntities.try_emplace(key, ptrEntity);
            // Another thread created the same entity meanwhile: every caller gets the
            // cached one, and this one is closed.
            if (!fInserted) {
                ptrSurplus = ptrEntity;
                ptrEntity = it->second;
            }
        }
        if (ptrSurplus)
            if (CComPtr<IEntity> ptrClose = ComQuery<IEntity>(ptrSurplus.Get()))
                ptrClose->Close();
        return CheckResultValue(
            ptrEntity->QueryInterface(riid, reinterpret_cast<void**>(ppEntity)));
    } catch (...) {
        return ReportException("CStorageManager::LoadEntity_i", CV_HERE);
    }
}

HRESULT CStorageManager::LoadPage(LCID lcid, std::u16string_view strName, IPage** ppPage) {
    if (CheckExpression(!ppPage))
        return E_POINTER;
    *ppPage = nullptr;
    try {
        HRESULT hr = CheckStarted();
        if (!CheckResult(hr))
            return hr;

        // Held for the whole search, so that one page is loaded once.
        CCritSecLock lock(m_cs);
        const std::u16string strPage(strName == u"/" ? std::u16string_view(m_strDefaultPage)
                                                     : strName);
        // The cache answers only for the language asked for: a page found in "Common"
        // or in the fallback language for one language says nothing about another, which
        // may have its own.
        const CacheKey key{lcid, ToUpperSimple(strPage)};
        if (const auto it = m_mapPages.find(key); it != m_mapPages.end()) {
            *ppPage = CComPtr<IPage>(it->second).Detach();
            return S_OK;
        }
        if (m_fTrace)
            LogTrace("Loading %s, for lcid: %#x...", Utf16ToUtf8(strPage).c_str(),
                     static_cast<unsigned>(lcid));

        CComPtr<IPage> ptrPage;
        HRESULT hrFirstError = S_OK;
        hr = SearchSites(lcid, strPage, ptrPage.Receive(), &hrFirstError);
        if (hr == STG_E_FILENOTFOUND && lcid != m_lcidFallback)
            hr = SearchSites(m_lcidFallback, strPage, ptrPage.Receive(), &hrFirstError);
        if (hr == STG_E_FILENOTFOUND && FAILED(hrFirstError)) {
            // A site that failed may hold the page: its failure is the answer, not
            // "not found".
            hr = hrFirstError;
        }
        if (!CheckResult(hr))
            return hr;
        m_mapPages.emplace(key, ptrPage);
        *ppPage = ptrPage.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CStorageManager::LoadPage", CV_HERE);
    }
}

HRESULT CStorageManager::SearchSites(LCID lcid, const std::u16string& strName, IPage** ppPage,
                                     HRESULT* phrFirstError) {
    // External sites first, in the order they were added, then the embedded site. A
    // site that fails is logged and passed over, so one broken site file does not hide
    // the pages of the others.
    auto tryOne = [&](Storage& storage) {
        const HRESULT hr = SearchSite(storage, lcid, strName, ppPage);
        if (FAILED(hr) && hr != STG_E_FILENOTFOUND && SUCCEEDED(*phrFirstError))
            *phrFirstError = hr;
        return hr;
    };
    for (Storage& storage : m_arrAltStorages)
        if (SUCCEEDED(tryOne(storage)))
            return S_OK;
    if (m_storageMain.ptrRoot && SUCCEEDED(tryOne(m_storageMain)))
        return S_OK;
    return STG_E_FILENOTFOUND;
}

HRESULT CStorageManager::SearchSite(Storage& storage, LCID lcid, const std::u16string& strName,
                                    IPage** ppPage) {
    HRESULT hr = LoadPage(lcid, storage, LanguageFolder(lcid) + u"/" + strName, ppPage);
    if (hr == STG_E_FILENOTFOUND)
        hr = LoadPage(lcid, storage, std::u16string(kCommonFolder) + u"/" + strName, ppPage);
    // A name too long for the format is in no site: not found, not a broken site.
    return hr == STG_E_INVALIDNAME ? STG_E_FILENOTFOUND : hr;
}

HRESULT CStorageManager::LoadPage(LCID lcid, Storage& storage, std::u16string_view strPath,
                                  IPage** ppPage) {
    if (CheckExpression(!ppPage))
        return E_POINTER;
    *ppPage = nullptr;
    try {
        CCritSecLock lock(m_cs);
        if (m_fTrace)
            LogTrace("Trying %s...", Utf16ToUtf8(strPath).c_str());
        std::u16string strElement;
        CComPtr<IStorage> ptrFolder;
        HRESULT hr = FindStorage(storage, strPath, &strElement, ptrFolder.Receive());
        // A missing folder, like a missing record, only says the page is not here.
        if (hr == STG_E_FILENOTFOUND)
            return hr;
        if (!CheckResult(hr))
            return hr;
        bool fDataStreamMissing = false;
        hr = CPageRecord::LoadPage(ptrFolder.Get(), strElement, lcid, ppPage, &fDataStreamMissing);
        if (fDataStreamMissing)
            RemoveInUseStorage(storage, strPath);
        if (SUCCEEDED(hr) && m_fTrace)
            LogTrace("Loaded %s", Utf16ToUtf8(strPath).c_str());
        return hr;
    } catch (...) {
        return ReportException("CStorageManager::LoadPage", CV_HERE);
    }
}

HRESULT CStorageManager::FindStorage(Storage& storage, std::u16string_view strPath,
                                     std::u16string* pstrElement, IStorage** ppFolder) {
    if (CheckExpression(!pstrElement || !ppFolder))
        return E_POINTER;
    *ppFolder = nullptr;
    try {
        CCritSecLock lock(m_cs);
        const size_t nPos = strPath.rfind(u'/');
        if (CheckExpression(nPos == std::u16string_view::npos))
            return E_UNEXPECTED;
        std::u16string strFolder = std::u16string(kRootPath) + u"/";
        strFolder += strPath.substr(0, nPos);

        // Walk up to the nearest folder already open (or the root)…
        std::deque<std::u16string> parts;
        CComPtr<IStorage> ptrCurrent;
        for (;;) {
            const auto it = storage.mapOpenFolders.find(FolderKey(strFolder));
            if (it != storage.mapOpenFolders.end()) {
                ptrCurrent = it->second;
                break;
            }
            if (strFolder == kRootPath) {
                ptrCurrent = storage.ptrRoot;
                break;
            }
            const size_t nSlash = strFolder.rfind(u'/');
            if (CheckExpression(nSlash == std::u16string::npos))
                return STG_E_FILENOTFOUND;
            parts.push_front(strFolder.substr(nSlash + 1));
            strFolder.resize(nSlash);
        }
        if (CheckExpression(!ptrCurrent))
            return E_UNEXPECTED;

        // …then open the rest, remembering each folder opened.
        for (const std::u16string& part : parts) {
            CComPtr<IStorage> ptrNext;
            const HRESULT hr = ptrCurrent->OpenStorage(part.c_str(), nullptr, kReadMode, nullptr, 0,
                                                       ptrNext.Receive());
            if (hr == STG_E_FILENOTFOUND)
                return hr;
            if (!CheckResult(hr))
                return hr;
            strFolder += u"/";
            strFolder += part;
            storage.mapOpenFolders[FolderKey(strFolder)] = ptrNext;
            ptrCurrent = std::move(ptrNext);
        }
        *pstrElement = CPageRecord::ElementNameOf(strPath);
        *ppFolder = ptrCurrent.Detach();
        return S_OK;
    } catch (...) {
        return ReportException("CStorageManager::FindStorage", CV_HERE);
    }
}

HRESULT CStorageManager::RemoveInUseStorage(Storage& storage, std::u16string_view strPath) {
    try {
        CCritSecLock lock(m_cs);
        const size_t nPos = strPath.rfind(u'/');
        if (CheckExpression(nPos == std::u16string_view::npos))
            return E_UNEXPECTED;
        std::u16string strFolder = std::u16string(kRootPath) + u"/";
        strFolder += strPath.substr(0, nPos);
        storage.mapOpenFolders.erase(FolderKey(strFolder));
        return S_OK;
    } catch (...) {
        return ReportException("CStorageManager::RemoveInUseStorage", CV_HERE);
    }
}

HRESULT CStorageManager::get_DefaultPage(BSTR* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    try {
        CCritSecLock lock(m_cs);
        *pVal = BSTR(m_strDefaultPage);
        return S_OK;
    } catch (...) {
        return ReportException("CStorageManager::get_DefaultPage", CV_HERE);
    }
}

HRESULT CStorageManager::put_DefaultPage(BSTR newVal) {
    try {
        CCritSecLock lock(m_cs);
        m_strDefaultPage = newVal.Str();
        return S_OK;
    } catch (...) {
        return ReportException("CStorageManager::put_DefaultPage", CV_HERE);
    }
}

HRESULT CStorageManager::get_FallbackLCID(LCID* pVal) {
    if (CheckExpression(!pVal))
        return E_POINTER;
    CCritSecLock lock(m_cs);
    *pVal = m_lcidFallback;
    return S_OK;
}

HRESULT CStorageManager::put_FallbackLCID(LCID newVal) {
    try {
        if (CheckExpression(!IsValidLocale(newVal, LCID_INSTALLED)))
            return E_INVALIDARG;
        CCritSecLock lock(m_cs);
        m_lcidFallback = newVal;
        return S_OK;
    } catch (...) {
        return ReportException("CStorageManager::put_FallbackLCID", CV_HERE);
    }
}

HRESULT CStorageManager::SiteName(const Storage& storage, std::u16string* pstrName) const {
    STATSTG stat;
    const HRESULT hr = storage.ptrRoot->Stat(&stat, STATFLAG_DEFAULT);
    if (!CheckResult(hr))
        return hr;
    *pstrName = stat.pwcsName.Str();
    return S_OK;
}

HRESULT CStorageManager::GetValues(std::vector<CComVariant>* pValues) {
    if (CheckExpression(!pValues))
        return E_POINTER;
    try {
        CCritSecLock lock(m_cs);
        for (const Storage& storage : m_arrAltStorages) {
            std::u16string strName;
            const HRESULT hr = SiteName(storage, &strName);
            if (FAILED(hr))
                return hr;
            pValues->emplace_back(BSTR(strName));
        }
        return S_OK;
    } catch (...) {
        return ReportException("CStorageManager::GetValues", CV_HERE);
    }
}

HRESULT CStorageManager::IndexOf(const VARIANT& index, size_t* pnIndex) {
    CComVariant var;
    const HRESULT hr = VariantChangeType(&var, &index, 0, VT_I4);
    if (!CheckResult(hr))
        return hr;
    if (CheckExpression(var.lVal < 1 || var.lVal > (LONG)m_arrAltStorages.size()))
        return E_INVALIDARG;
    *pnIndex = static_cast<size_t>(var.lVal - 1);
    return S_OK;
}

HRESULT CStorageManager::get_Item(const VARIANT& index, VARIANT* pVariantReturn) {
    if (CheckExpression(!pVariantReturn))
        return E_POINTER;
    try {
        CCritSecLock lock(m_cs);
        size_t nIndex = 0;
        HRESULT hr = IndexOf(index, &nIndex);
        if (FAILED(hr))
            return hr;
        std::u16string strName;
        hr = SiteName(m_arrAltStorages[nIndex], &strName);
        if (FAILED(hr))
            return hr;
        VariantClear(pVariantReturn);
        CComVariant(BSTR(strName)).Detach(pVariantReturn);
        return S_OK;
    } catch (...) {
        return ReportException("CStorageManager::get_Item", CV_HERE);
    }
}

HRESULT CStorageManager::get_Count(LONG* cStrRet) {
    if (CheckExpression(!cStrRet))
        return E_POINTER;
    CCritSecLock lock(m_cs);
    *cStrRet = static_cast<LONG>(m_arrAltStorages.size());
    return S_OK;
}

HRESULT CStorageManager::ResolveSitePath(std::u16string_view strName,
                                         std::filesystem::path* pPath) {
    if (CheckExpression(strName.empty() || strName.find(u'\0') != std::u16string_view::npos))
        return E_INVALIDARG;
    if (m_dirSites.empty()) {
        const char* pszSites = std::getenv("CORVANE_SITES");
        m_dirSites =
            pszSites && *pszSites ? std::filesystem::path(pszSites) : ExecutableDirectory();
    }
    std::error_code ec;
    // Symbolic links are followed on both sides, so a link cannot lead out unseen.
    std::filesystem::path dir = std::filesystem::weakly_canonical(m_dirSites, ec);
    if (CheckExpression(ec))
        return E_FAIL;
    const std::filesystem::path full = std::filesystem::weakly_canonical(
        (dir / std::filesystem::path(Utf16ToUtf8(strName))).lexically_normal(), ec);
    if (CheckExpression(ec))
        return E_FAIL;
    const std::filesystem::path rel = full.lexically_relative(dir);
    if (CheckExpression(rel.empty() || rel == "." || *rel.begin() == ".."))
        return E_ACCESSDENIED;
    *pPath = full;
    return S_OK;
}

HRESULT CStorageManager::Add(BSTR bstrItem) {
    try {
        CCritSecLock lock(m_cs);
        std::filesystem::path path;
        HRESULT hr = ResolveSitePath(bstrItem.View(), &path);
        if (FAILED(hr))
            return hr;
        const std::u16string strPath = Utf8ToUtf16(path.string());
        for (const Storage& storage : m_arrAltStorages) {
            std::u16string strName;
            if (SUCCEEDED(SiteName(storage, &strName)) && CheckExpression(strName == strPath))
                return E_INVALIDARG;
        }
        Storage storage;
        hr = StgOpenStorage(strPath.c_str(), nullptr, kReadMode, nullptr, 0,
                            storage.ptrRoot.Receive());
        if (!CheckResult(hr))
            return hr;
        m_arrAltStorages.push_back(std::move(storage));
        if (m_fTrace)
            LogTrace("Added storage: %s", path.c_str());
        return S_OK;
    } catch (...) {
        return ReportException("CStorageManager::Add", CV_HERE);
    }
}

HRESULT CStorageManager::Remove(const VARIANT& index) {
    try {
        CCritSecLock lock(m_cs);
        CComVariant var;
        HRESULT hr = VariantCopyInd(&var, &index);
        if (!CheckResult(hr))
            return hr;
        size_t nIndex = 0;
        if (var.vt == VT_BSTR) {
            // The full path as listed, or the name as it was added.
            std::u16string strResolved;
            if (std::filesystem::path path; SUCCEEDED(ResolveSitePath(var.Text(), &path)))
                strResolved = Utf8ToUtf16(path.string());
            for (nIndex = 0; nIndex < m_arrAltStorages.size(); ++nIndex) {
                std::u16string strName;
                if (SUCCEEDED(SiteName(m_arrAltStorages[nIndex], &strName)) &&
                    (strName == var.Text() || strName == strResolved))
                    break;
            }
            if (CheckExpression(nIndex == m_arrAltStorages.size()))
                return E_INVALIDARG;
        } else {
            hr = IndexOf(var, &nIndex);
            if (FAILED(hr))
                return hr;
        }
        m_arrAltStorages.erase(m_arrAltStorages.begin() + static_cast<ptrdiff_t>(nIndex));
        return S_OK;
    } catch (...) {
        return ReportException("CStorageManager::Remove", CV_HERE);
    }
}
