// CCategoryLists: the category lists a category server answers from, loaded once and then
// only read (a reload builds a new one), and the matching of a URL against them.
//
// The lists use the common blocklist layout: one directory per category, each holding a
// `domains` file (one domain a line) and a `urls` file (one URL without scheme a line,
// "example.com/path"); '#' starts a comment and blank lines are skipped. Each category has
// a number, which is what the protocol carries: a file `categories` beside the category
// directories names them ("adult 1", one a line); directories it does not name get
// numbers from 1000 upward in name order.
//
// A URL is in a category when its host or any parent domain of the host is in the
// category's `domains`, or when its host and path, or its host and any shorter path cut
// at a '/', is in the category's `urls` (a leading "www." of the host does not count
// there). Hosts compare without case and without trailing dots; paths compare exactly.
//
// All names of all categories sit in two flat hash tables (domains, URLs) that point into
// the list files' text, read whole into memory; each name maps to the set of categories
// that list it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "com/HResult.h"
#include "tools/categories/NameTable.h"

class CCategoryLists {
public:
    // Numbers that the `categories` file does not give start here.
    static constexpr std::uint32_t kFirstAutomaticNumber = 1000;

    struct Category {
        std::string strName;
        std::uint32_t number = 0;
        std::size_t domains = 0;       // distinct names added from `domains`
        std::size_t urls = 0;          // distinct names added from `urls`
        std::size_t skippedLines = 0;  // lines that were neither a name, a comment nor blank
    };

    // Loads every category directory under `dir`. Fails when the directory cannot be
    // read or a list file cannot be read; a directory without list files is left out
    // (and logged).
    static HRESULT Load(const std::filesystem::path& dir, std::unique_ptr<CCategoryLists>* pLists);

    // Adds one category from the text of its two files (tests and the loader).
    // E_INVALIDARG when the number is already taken.
    HRESULT AddCategory(std::string_view strName, std::uint32_t number, std::string_view domains,
                        std::string_view urls);

    // The numbers of the categories `url` is in, ascending (empty for none). The URL may
    // carry a scheme, user information, a port, a query and a fragment. E_INVALIDARG when
    // it has no host or its host holds spaces or control characters.
    HRESULT Match(std::string_view url, std::vector<std::uint32_t>* pNumbers) const;

    const std::vector<Category>& Categories() const { return m_categories; }
    std::size_t DomainCount() const { return m_domains.Size(); }
    std::size_t UrlCount() const { return m_urls.Size(); }

    // The name a line of a `domains` or `urls` file stands for after comments, blanks,
    // case, trailing dots (and for URLs a scheme, a port, a leading "www." and trailing
    // slashes) are dealt with; lower-cased in place, so the view points into the line.
    // Empty for comments and blank lines; *pbMalformed for lines that name nothing usable.
    static std::string_view DomainFromLine(char* begin, char* end, bool* pbMalformed);
    static std::string_view UrlFromLine(char* begin, char* end, bool* pbMalformed);

private:
    struct Text {
        std::unique_ptr<char[]> data;
        std::size_t size = 0;
    };
    static Text CopyText(std::string_view text);
    static HRESULT ReadText(const std::filesystem::path& file, Text* pText);
    HRESULT AddCategoryTexts(std::string_view strName, std::uint32_t number, Text domains,
                             Text urls);
    void AddNames(CNameTable* pTable, char* text, std::size_t size, bool bUrls,
                  std::uint32_t setIndex, Category* pCategory);
    std::uint32_t UnionOf(std::uint32_t setIndex, std::uint32_t singleIndex);

    std::vector<std::unique_ptr<char[]>> m_texts;  // the list files' text, never moved
    CNameTable m_domains;
    CNameTable m_urls;
    CNameTable m_urlHosts;  // the hosts of m_urls: most URLs need no path look-ups at all
    // Category sets: each name's value indexes one; sorted category numbers.
    std::vector<std::vector<std::uint32_t>> m_sets;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> m_unions;  // load only
    std::vector<Category> m_categories;
};
