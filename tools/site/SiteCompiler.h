// Compiles a directory of pages into a site file.
//
// The source directory holds one folder per language, named as the site names it ("0x409",
// "0x809": "0x" and the language id in lower-case hexadecimal without leading zeros), and
// "Common"; below them any tree of folders and files. Text pages (.asp, .asa, .html,
// .htm, .txt, .css, .js) must be UTF-8 (a byte-order mark is dropped); they are stored as
// UTF-16LE with their line tables, ".asp" run by the ASP entity and ".asa" by the ASA
// entity. Every other file is stored unchanged as a file page. Names starting with "."
// are left out. Data streams are named by 31 upper-case hexadecimal digits derived from
// the page's path, so compiling the same tree twice gives the same file.
//
// Any problem stops the compilation with a message that names the file; the site file is
// then not written (an existing one is left as it was).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "com/HResult.h"
#include "com/Types.h"

class CSiteCompiler {
public:
    // Compiles dirSource into the bytes of a site file.
    static HRESULT CompileToBytes(const std::filesystem::path& dirSource, std::vector<BYTE>* pBytes,
                                  std::string* pstrError);
    // Compiles dirSource and replaces pathSite with the result in one step.
    static HRESULT Compile(const std::filesystem::path& dirSource,
                           const std::filesystem::path& pathSite, std::string* pstrError);
    // True when strName is a language folder name in the site's form.
    static bool IsLanguageFolder(std::string_view strName);
};
