// Registration entries of the service program.
#include "service/Registration.h"

#include "com/DiagnosticLog.h"

namespace {

struct ClassEntry {
    GUID clsid;
    const char* progId;  // version-independent; the versioned one adds ".1"
    const char* description;
};

// The classes this program serves (the tray program registers its own).
constexpr ClassEntry kClasses[] = {
    {CLSID_Server, "Corvane.Server", "Server Class"},
    {CLSID_FilePage, "Corvane.FilePage", "FilePage Class"},
    {CLSID_TextPage, "Corvane.TextPage", "TextPage Class"},
    {CLSID_ASAEntity, "Corvane.ASAEntity", "ASAEntity Class"},
    {CLSID_ASPEntity, "Corvane.ASPEntity", "ASPEntity Class"},
    {CLSID_FileEntity, "Corvane.FileEntity", "FileEntity Class"},
};

constexpr const char* kExecutableKey = "Corvane.EXE";
constexpr const char* kTypeLibVersion = "2.0";

// Applies the calls in order and stops at the first failure, logging it.
class CSteps {
public:
    explicit CSteps(CRegistryTree& tree) : m_tree(tree) {}
    CSteps& Set(const std::string& key, const char* name, const std::string& text) {
        if (SUCCEEDED(m_hr))
            m_hr = CheckResultValue(m_tree.SetValue(key, name, CRegistryValue::FromString(text)));
        return *this;
    }
    CSteps& RemoveKey(const std::string& key) {
        if (SUCCEEDED(m_hr)) {
            HRESULT hr = m_tree.DeleteKey(key);
            if (hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) m_hr = CheckResultValue(hr);
        }
        return *this;
    }
    CSteps& RemoveValue(const std::string& key, const char* name) {
        if (SUCCEEDED(m_hr)) {
            HRESULT hr = m_tree.DeleteValue(key, name);
            if (hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) m_hr = CheckResultValue(hr);
        }
        return *this;
    }
    HRESULT Result() const { return FAILED(m_hr) ? m_hr : S_OK; }

private:
    CRegistryTree& m_tree;
    HRESULT m_hr = S_OK;
};

}  // namespace

std::string ClassesRoot(bool perUser, unsigned uid) {
    if (!perUser) return "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes";
    return "HKEY_USERS\\S-1-22-1-" + std::to_string(uid) + "\\SOFTWARE\\Classes";
}

std::string AppIdKey(const std::string& classesRoot) {
    return classesRoot + "\\AppID\\" + GUID2String(APPID_Corvane);
}

HRESULT WriteRegistration(CRegistryTree& tree, const std::string& root,
                          const std::filesystem::path& executable) {
    const std::string appId = GUID2String(APPID_Corvane);
    const std::string libId = GUID2String(LIBID_Corvane);
    const std::string server = "\"" + executable.string() + "\"";
    CSteps steps(tree);
    steps.Set(AppIdKey(root), "", "Corvane")
        .Set(AppIdKey(root), "RunAs", "Interactive User")
        .RemoveValue(AppIdKey(root), "LocalService")
        .Set(root + "\\AppID\\" + kExecutableKey, "AppID", appId);
    for (const auto& c : kClasses) {
        const std::string clsid = GUID2String(c.clsid);
        const std::string versioned = std::string(c.progId) + ".1";
        const std::string key = root + "\\CLSID\\" + clsid;
        steps.Set(key, "", c.description)
            .Set(key, "AppID", appId)
            .Set(key + "\\ProgID", "", versioned)
            .Set(key + "\\VersionIndependentProgID", "", c.progId)
            .Set(key + "\\LocalServer32", "", server)
            .Set(key + "\\TypeLib", "", libId)
            .Set(root + "\\" + c.progId, "", c.description)
            .Set(root + "\\" + c.progId + "\\CLSID", "", clsid)
            .Set(root + "\\" + c.progId + "\\CurVer", "", versioned)
            .Set(root + "\\" + versioned, "", c.description)
            .Set(root + "\\" + versioned + "\\CLSID", "", clsid);
    }
    const std::string lib = root + "\\TypeLib\\" + libId + "\\" + kTypeLibVersion;
    steps.Set(lib, "", "Corvane 2.0 Type Library")
        .Set(lib + "\\0\\linux64", "", executable.string())
        .Set(lib + "\\FLAGS", "", "0")
        .Set(lib + "\\HELPDIR", "", executable.parent_path().string());
    return steps.Result();
}

HRESULT RemoveRegistration(CRegistryTree& tree, const std::string& root) {
    CSteps steps(tree);
    steps.RemoveKey(AppIdKey(root)).RemoveKey(root + "\\AppID\\" + kExecutableKey);
    for (const auto& c : kClasses) {
        steps.RemoveKey(root + "\\CLSID\\" + GUID2String(c.clsid))
            .RemoveKey(root + "\\" + c.progId)
            .RemoveKey(root + "\\" + c.progId + ".1");
    }
    steps.RemoveKey(root + "\\TypeLib\\" + GUID2String(LIBID_Corvane));
    if (FAILED(steps.Result())) return steps.Result();

    // Keys that only held our entries go too, up to the root's hive.
    std::vector<std::string> candidates = {root + "\\AppID", root + "\\CLSID",
                                           root + "\\TypeLib"};
    for (std::string key = root; key.find('\\') != std::string::npos;
         key = key.substr(0, key.rfind('\\')))
        candidates.push_back(key);
    for (const auto& key : candidates) {
        std::vector<std::string> subkeys;
        std::vector<CRegistryEntry> values;
        if (SUCCEEDED(tree.EnumSubkeys(key, &subkeys)) && subkeys.empty() &&
            SUCCEEDED(tree.EnumValues(key, &values)) && values.empty())
            tree.DeleteKey(key);
    }
    return S_OK;
}

HRESULT WriteLocalService(CRegistryTree& tree, const std::string& root,
                          const std::string& serviceName) {
    return CSteps(tree).Set(AppIdKey(root), "LocalService", serviceName).Result();
}
