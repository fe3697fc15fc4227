// CWriteFormats: how the generated script of an ASP page writes text, per language.
//
// Two tables map an upper-cased script language name to a format with one vertical
// bar where the argument goes: one for expressions ("Response.Write | \r\n" in
// VBScript) and one for numbered literal blocks ("Response.WriteBlock(|);" in JScript).
// The built-in rows cover VBScript and JScript; the machine's language-engine table in
// the registry store (subkeys of kLanguageEnginesKey with string values "Write" and
// "WriteBlock") adds languages and replaces built-in rows. The tables are filled once,
// on first use, safely when several compilations start at the same moment, and never
// change afterwards.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "com/HResult.h"

class CRegistryStore;

class CWriteFormats {
public:
    static constexpr std::string_view kLanguageEnginesKey =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\W3SVC\\ASP\\LanguageEngines";

    // Tables read from `pStore` on first use; null: built-in rows only.
    explicit CWriteFormats(CRegistryStore* pStore) : m_pStore(pStore) {}

    // The tables of the process, read from the machine's registry store.
    static CWriteFormats& Process();

    // The format for a language (any case); E_UNEXPECTED when the language has none.
    HRESULT LookupWrite(std::u16string_view strLanguage, std::u16string* pstrFormat);
    HRESULT LookupWriteBlock(std::u16string_view strLanguage, std::u16string* pstrFormat);

private:
    using Map = std::unordered_map<std::u16string, std::u16string>;
    void Fill();
    void ReadRegistry();

    CRegistryStore* m_pStore;
    std::once_flag m_once;
    Map m_mapWrite;
    Map m_mapWriteBlock;
};
