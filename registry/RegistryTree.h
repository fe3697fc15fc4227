// CRegistryTree: the keys and values of one registry store, held in memory.
//
// A key is named by its full path, root first: "HKEY_LOCAL_MACHINE\SOFTWARE\Corvane".
// Roots are the five full root names (the short forms HKLM, HKCU, HKU, HKCR and HKCC are
// accepted on input and written out in full); they always exist and cannot be deleted.
// Key and value names compare without regard to case and keep the case they were
// created with. Creating a key creates its missing parents; deleting a key deletes its
// subtree. The empty value name is the key's default value.
//
// The tree knows nothing of files: the store format reads and writes it, and the store
// applies a transaction to a copy and commits the copy.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "com/HResult.h"
#include "registry/RegistryValue.h"

// One named value of a key, as enumeration gives it.
struct CRegistryEntry {
    std::string name;
    CRegistryValue value;
    friend bool operator==(const CRegistryEntry&, const CRegistryEntry&) = default;
};

class CRegistryTree {
public:
    CRegistryTree();

    // S_OK when the key exists, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when it does not.
    HRESULT KeyExists(std::string_view path) const;
    // Creates the key and its missing parents; S_FALSE when it existed already.
    HRESULT CreateKey(std::string_view path);
    // Deletes the key with its subtree. A root gives E_ACCESSDENIED.
    HRESULT DeleteKey(std::string_view path);

    HRESULT GetValue(std::string_view path, std::string_view name, CRegistryValue* value) const;
    // Creates the key if needed, then sets the value (an existing name keeps its case).
    HRESULT SetValue(std::string_view path, std::string_view name, const CRegistryValue& value);
    HRESULT DeleteValue(std::string_view path, std::string_view name);

    // The names of the direct subkeys, in the tree's order (case-insensitive).
    HRESULT EnumSubkeys(std::string_view path, std::vector<std::string>* names) const;
    HRESULT EnumValues(std::string_view path, std::vector<CRegistryEntry>* entries) const;

    // Calls `visit(path, values)` for every key that is not a root, and for the roots
    // that hold values, parents before children.
    template <class Visit>
    void ForEachKey(Visit&& visit) const {
        for (const auto& [upper, key] : m_keys) {
            if (key.isRoot && key.values.empty())
                continue;
            std::vector<const CRegistryEntry*> values;
            values.reserve(key.values.size());
            for (const auto& [name, entry] : key.values)
                values.push_back(&entry);
            visit(key.path, values);
        }
    }

    // True when the path's syntax is acceptable (a known root, non-empty names without
    // control characters, valid UTF-8).
    static bool IsValidKeyPath(std::string_view path);
    // True when the name can be stored: valid UTF-8 without CR, LF or NUL.
    static bool IsValidValueName(std::string_view name);

    friend bool operator==(const CRegistryTree&, const CRegistryTree&) = default;

private:
    // Orders paths so that a key's subtree follows it directly: the separator sorts
    // before every character that a name may hold.
    struct PathLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    struct Key {
        std::string path;  // display form, canonical root name
        bool isRoot = false;
        std::map<std::string, CRegistryEntry> values;  // by upper-cased name
        friend bool operator==(const Key&, const Key&) = default;
    };
    using KeyMap = std::map<std::string, Key, PathLess>;  // by upper-cased path

    // A checked path: its components as given (the root canonical) and the map key.
    struct SplitKeyPath {
        std::vector<std::string_view> components;
        std::string upper;
    };
    static HRESULT SplitPath(std::string_view path, SplitKeyPath* split);
    const Key* Find(std::string_view path, HRESULT* hr) const;
    Key* Find(std::string_view path, HRESULT* hr);
    // Finds or creates the key and its parents; S_FALSE in *hr when it existed.
    Key* Create(std::string_view path, HRESULT* hr);

    KeyMap m_keys;
};
