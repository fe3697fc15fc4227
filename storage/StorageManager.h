// CStorageManager (`STORAGE_MANAGER`): the one place from which every other part of the
// service obtains pages and the entities that run them.
//
// It owns the default site, whose bytes the program hands in (`SetEmbeddedSite`), and the
// external sites that the boot script adds; it resolves a page name and a language to a
// page by searching, for each site in turn (external sites in the order they were added,
// then the embedded site), the language folder and then "Common", and when no site has
// the page, the same again in the fallback language. Element and folder names compare
// by the compound-file rule (length, then simple upper case), so "About.asp" finds
// "about£asp"; the caches use the same rule. Pages and entities are cached for the life
// of the manager. The site is booted lazily, on the first request.
//
// External site names are joined to the site directory (`CORVANE_SITES`, else the
// directory of the executable) and normalised; a name that leads outside that
// directory is refused with E_ACCESSDENIED.
//
// One re-entrant lock (m_cs) guards every field. A page search holds it from the cache
// lookup to the cache update, opening folders and streams and creating page objects on
// the way; the boot holds it for its whole run, so the boot script's calls back into the
// manager re-enter it on the same thread. Creating an entity (which compiles a page) and
// starting "global.asa" run without it. The lock sits below the entity locks: nothing
// here calls into an entity while holding it.
#pragma once

#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "cfb/StorageInterfaces.h"
#include "com/CComVariant.h"
#include "com/CriticalSection.h"
#include "com/Singleton.h"
#include "idl/ServiceInterfaces.h"
#include "objects/ObjectInterfaces2.h"
#include "pages/PageInterfaces.h"

class CStorageManager {
public:
    // One site: its root storage and every folder opened in it so far, keyed by its path
    // from the root ("£/0x809", "£/Common/images"; upper-cased, as names compare).
    struct Storage {
        CComPtr<IStorage> ptrRoot;
        std::unordered_map<std::u16string, CComPtr<IStorage>> mapOpenFolders;
    };

    // Shows the critical-failure message (title, text) to whoever should see it. The
    // default writes it to the diagnostic log.
    using CriticalFailureHandler = std::function<void(std::u16string_view, std::u16string_view)>;

    static constexpr LCID kDefaultFallbackLCID = 1033;

    CStorageManager();
    ~CStorageManager();
    CStorageManager(const CStorageManager&) = delete;
    CStorageManager& operator=(const CStorageManager&) = delete;

    // The embedded default site: bytes that outlive the manager, the three times of the
    // file they came from and that file's name (what the root's `Stat` reports).
    // E_UNEXPECTED once the site has been booted.
    HRESULT SetEmbeddedSite(std::span<const BYTE> bytes, const FILETIME& ctime,
                            const FILETIME& atime, const FILETIME& mtime,
                            std::u16string strFileName = {});
    // The directory external site names are resolved in (tests; the program uses the
    // default: CORVANE_SITES, else the executable's directory).
    void SetSiteDirectory(std::filesystem::path dir);
    void SetCriticalFailureHandler(CriticalFailureHandler handler);
    // Writes "Loading", "Trying", "Loaded" and "Added storage" trace lines.
    void SetTracing(bool fTrace);

    // Boots the site once: opens the embedded site and runs its boot script.
    HRESULT CheckStarted();

    // The application object that every entity shares (created at boot).
    HRESULT GetApplication(IApplication** ppApplication);

    // The entity of a page, created and cached; a failure for "global.asa" is also
    // shown as a critical failure.
    HRESULT LoadEntity(LCID lcid, std::u16string_view strName, const IID& riid,
                       IUnknown** ppEntity);
    HRESULT LoadEntity_i(LCID lcid, std::u16string_view strName, const IID& riid,
                         IUnknown** ppEntity);
    // A page searched across sites and languages; "/" is the default page.
    // STG_E_FILENOTFOUND when no site has it.
    HRESULT LoadPage(LCID lcid, std::u16string_view strName, IPage** ppPage);
    // Reads one page record of one site; strPath is the folder, "/" and the page name.
    HRESULT LoadPage(LCID lcid, Storage& storage, std::u16string_view strPath, IPage** ppPage);
    // Opens (or finds open) the folder of a path and names its page record.
    HRESULT FindStorage(Storage& storage, std::u16string_view strPath, std::u16string* pstrElement,
                        IStorage** ppFolder);
    // Forgets the open folder of a path, so that the next request reopens it.
    HRESULT RemoveInUseStorage(Storage& storage, std::u16string_view strPath);

    // The settings that scripts see through the storage object.
    HRESULT get_DefaultPage(BSTR* pVal);
    HRESULT put_DefaultPage(BSTR newVal);
    HRESULT get_FallbackLCID(LCID* pVal);
    // E_INVALIDARG (the old value stays) for a language that is not installed.
    HRESULT put_FallbackLCID(LCID newVal);

    // The external sites, for the string list of the storage object: names are the
    // files' full paths, indexes count from 1.
    HRESULT GetValues(std::vector<CComVariant>* pValues);
    HRESULT get_Item(const VARIANT& index, VARIANT* pVariantReturn);
    HRESULT get_Count(LONG* cStrRet);
    // Opens a site file and appends it. E_ACCESSDENIED for a name that leads outside the
    // site directory, E_INVALIDARG for a site already added, the open's status for a
    // file that is missing or not a site.
    HRESULT Add(BSTR bstrItem);
    // A string removes the site of that name (its full path, or the name as given to
    // Add); anything else is a 1-based index. E_INVALIDARG when nothing matches.
    HRESULT Remove(const VARIANT& index);

private:
    struct CacheKey {
        LCID lcid;
        std::u16string strName;  // upper-cased
        friend bool operator==(const CacheKey&, const CacheKey&) = default;
    };
    struct CacheKeyHash {
        size_t operator()(const CacheKey& key) const;
    };

    // Runs "boot.asa" (Application_OnBoot) with the storage object in the application.
    HRESULT RunBootScript();
    // Runs Application_OnStart of a newly created "global.asa" entity.
    HRESULT RunApplicationOnStart(IUnknown* pEntity, LCID lcid);
    // Adds a server object as "Server" unless the instance has one.
    static HRESULT AddServerObject(IScriptInstance* pSI);
    // Invokes a procedure of a script without arguments, as a method; a procedure the
    // script does not define is not an error.
    static HRESULT InvokeProcedure(IScriptInstance* pSI, std::u16string_view strName, LCID lcid);
    // Tries every site, language folder before "Common", for one language.
    HRESULT SearchSites(LCID lcid, const std::u16string& strName, IPage** ppPage,
                        HRESULT* phrFirstError);
    HRESULT SearchSite(Storage& storage, LCID lcid, const std::u16string& strName, IPage** ppPage);
    // The full path of an external site name; E_ACCESSDENIED outside the site directory.
    HRESULT ResolveSitePath(std::u16string_view strName, std::filesystem::path* pPath);
    HRESULT SiteName(const Storage& storage, std::u16string* pstrName) const;
    HRESULT IndexOf(const VARIANT& index, size_t* pnIndex);

    mutable CComAutoCriticalSection m_cs;  // guards every field below; see the file comment
    Storage m_storageMain;
    std::vector<Storage> m_arrAltStorages;
    std::u16string m_strDefaultPage;
    LCID m_lcidFallback = kDefaultFallbackLCID;
    CComPtr<IApplication> m_ptrApplication;  // created at boot, handed to every entity
    std::unordered_map<CacheKey, CComPtr<IPage>, CacheKeyHash> m_mapPages;
    std::unordered_map<CacheKey, CComPtr<IUnknown>, CacheKeyHash> m_mapEntities;

    std::span<const BYTE> m_embeddedBytes;
    FILETIME m_ctime;
    FILETIME m_atime;
    FILETIME m_mtime;
    std::u16string m_strEmbeddedName;
    std::filesystem::path m_dirSites;  // empty until first needed
    CriticalFailureHandler m_criticalFailureHandler;
    bool m_fTrace = false;
};

using STORAGE_MANAGER = CSingleton<CStorageManager, CComAutoCriticalSection>;
