// Path rules, lookups and changes of the in-memory registry tree.
#include "registry/RegistryTree.h"

#include "com/DiagnosticLog.h"
#include "com/Strings.h"

namespace {

struct RootName {
    const char* full;
    const char* shortName;
};

constexpr RootName kRoots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR"}, {"HKEY_CURRENT_USER", "HKCU"},   {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_USERS", "HKU"},         {"HKEY_CURRENT_CONFIG", "HKCC"},
};

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
        if (x != b[i])
            return false;
    }
    return true;
}

// Root names are ASCII, so a plain ASCII compare is the case-insensitive one.
const char* CanonicalRoot(std::string_view name) {
    for (const RootName& root : kRoots) {
        if (EqualsAsciiNoCase(name, root.full) || EqualsAsciiNoCase(name, root.shortName))
            return root.full;
    }
    return nullptr;
}

// The simple upper-casing, without the round trip through UTF-16 for ASCII names.
std::string UpperName(std::string_view name) {
    std::string upper(name);
    for (char& c : upper) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return ToUpperSimple(name);
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

bool IsValidKeyName(std::string_view name) {
    if (name.empty() || !IsValidUtf8(name))
        return false;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
    }
    return true;
}

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

}  // namespace

bool CRegistryTree::PathLess::operator()(const std::string& a, const std::string& b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = a[i] == '\\' ? 1 : static_cast<unsigned char>(a[i]);
        unsigned char y = b[i] == '\\' ? 1 : static_cast<unsigned char>(b[i]);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

CRegistryTree::CRegistryTree() {
    for (const RootName& root : kRoots) {
        Key& key = m_keys[root.full];
        key.path = root.full;
        key.isRoot = true;
    }
}

bool CRegistryTree::IsValidKeyPath(std::string_view path) {
    SplitKeyPath split;
    return SUCCEEDED(SplitPath(path, &split));
}

bool CRegistryTree::IsValidValueName(std::string_view name) {
    return IsValidUtf8(name) && name.find_first_of(std::string_view("\r\n\0", 3)) == name.npos;
}

HRESULT CRegistryTree::SplitPath(std::string_view path, SplitKeyPath* split) {
    split->components.clear();
    split->upper.clear();
    std::size_t start = 0;
    while (true) {
        std::size_t end = path.find('\\', start);
        std::string_view name = path.substr(start, end == path.npos ? path.npos : end - start);
        if (split->components.empty()) {
            const char* root = CanonicalRoot(name);
            if (!root)
                return E_INVALIDARG;
            split->components.emplace_back(root);
            split->upper = root;
        } else {
            if (!IsValidKeyName(name))
                return E_INVALIDARG;
            split->components.push_back(name);
            split->upper += '\\';
            split->upper += UpperName(name);
        }
        if (end == path.npos)
            return S_OK;
        start = end + 1;
    }
}

const CRegistryTree::Key* CRegistryTree::Find(std::string_view path, HRESULT* hr) const {
    SplitKeyPath split;
    *hr = SplitPath(path, &split);
    if (FAILED(*hr))
        return nullptr;
    auto it = m_keys.find(split.upper);
    if (it == m_keys.end()) {
        *hr = kNotFound;
        return nullptr;
    }
    return &it->second;
}

CRegistryTree::Key* CRegistryTree::Find(std::string_view path, HRESULT* hr) {
    return const_cast<Key*>(static_cast<const CRegistryTree*>(this)->Find(path, hr));
}

CRegistryTree::Key* CRegistryTree::Create(std::string_view path, HRESULT* hr) {
    SplitKeyPath split;
    *hr = SplitPath(path, &split);
    if (FAILED(*hr))
        return nullptr;
    auto found = m_keys.find(split.upper);
    *hr = S_FALSE;
    if (found != m_keys.end())
        return &found->second;
    // Walk down from the root, adding the missing keys; existing ones keep their case.
    std::string upper(split.components[0]);
    std::string display(split.components[0]);
    Key* key = nullptr;
    for (std::size_t i = 1; i < split.components.size(); ++i) {
        upper += '\\';
        upper += UpperName(split.components[i]);
        auto [it, added] = m_keys.try_emplace(upper);
        if (added) {
            display += '\\';
            display += split.components[i];
            it->second.path = display;
        } else {
            display = it->second.path;
        }
        key = &it->second;
    }
    *hr = S_OK;
    return key;
}

HRESULT CRegistryTree::KeyExists(std::string_view path) const {
    HRESULT hr;
    return Find(path, &hr) ? S_OK : hr;
}

HRESULT CRegistryTree::CreateKey(std::string_view path) {
    HRESULT hr;
    Create(path, &hr);
    return hr;
}

HRESULT CRegistryTree::DeleteKey(std::string_view path) {
    HRESULT hr;
    Key* key = Find(path, &hr);
    if (!key)
        return hr;
    if (key->isRoot)
        return E_ACCESSDENIED;
    auto first = m_keys.find(UpperName(key->path));
    const std::string prefix = first->first + '\\';
    auto last = std::next(first);
    while (last != m_keys.end() && last->first.starts_with(prefix))
        ++last;
    m_keys.erase(first, last);
    return S_OK;
}

HRESULT CRegistryTree::GetValue(std::string_view path, std::string_view name,
                                CRegistryValue* value) const {
    if (CheckExpression(!value))
        return E_POINTER;
    if (!IsValidValueName(name))
        return E_INVALIDARG;
    HRESULT hr;
    const Key* key = Find(path, &hr);
    if (!key)
        return hr;
    auto it = key->values.find(UpperName(name));
    if (it == key->values.end())
        return kNotFound;
    *value = it->second.value;
    return S_OK;
}

HRESULT CRegistryTree::SetValue(std::string_view path, std::string_view name,
                                const CRegistryValue& value) {
    if (!IsValidValueName(name))
        return E_INVALIDARG;
    HRESULT hr;
    Key* key = Create(path, &hr);
    if (!key)
        return hr;
    auto [it, added] = key->values.try_emplace(UpperName(name));
    if (added)
        it->second.name = name;  // an existing value keeps its name's case
    it->second.value = value;
    return S_OK;
}

HRESULT CRegistryTree::DeleteValue(std::string_view path, std::string_view name) {
    if (!IsValidValueName(name))
        return E_INVALIDARG;
    HRESULT hr;
    Key* key = Find(path, &hr);
    if (!key)
        return hr;
    return key->values.erase(UpperName(name)) ? S_OK : kNotFound;
}

HRESULT CRegistryTree::EnumSubkeys(std::string_view path, std::vector<std::string>* names) const {
    if (CheckExpression(!names))
        return E_POINTER;
    HRESULT hr;
    const Key* key = Find(path, &hr);
    if (!key)
        return hr;
    names->clear();
    auto it = m_keys.find(UpperName(key->path));
    const std::string prefix = it->first + '\\';
    for (++it; it != m_keys.end() && it->first.starts_with(prefix); ++it) {
        if (it->first.find('\\', prefix.size()) != std::string::npos)
            continue;  // deeper
        const std::string& child = it->second.path;
        names->push_back(child.substr(child.rfind('\\') + 1));
    }
    return S_OK;
}

HRESULT CRegistryTree::EnumValues(std::string_view path,
                                  std::vector<CRegistryEntry>* entries) const {
    if (CheckExpression(!entries))
        return E_POINTER;
    HRESULT hr;
    const Key* key = Find(path, &hr);
    if (!key)
        return hr;
    entries->clear();
    for (const auto& [upper, entry] : key->values)
        entries->push_back(entry);
    return S_OK;
}
