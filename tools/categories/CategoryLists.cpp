// Loading category lists and matching URLs against them.
#include "tools/categories/CategoryLists.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>
#include <system_error>

#include "com/DiagnosticLog.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Bytes that never appear in a host or path of a list entry or a request.
bool IsSpaceOrControl(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b <= 0x20 || b == 0x7F;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool IsIPv4Literal(std::string_view host) {
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string_view::npos;
}

// The host of a request URL (scheme, user information and port taken off), lower case,
// without trailing dots; *pRest is what follows the host (path, query, fragment).
bool SplitRequestURL(std::string_view url, std::string* pHost, std::string_view* pRest) {
    if (const std::size_t pos = url.find("://"); pos != std::string_view::npos)
        url.remove_prefix(pos + 3);
    // One pass over the bytes (find_first_of looks each byte up in the set with memchr).
    std::size_t end = 0;
    while (end < url.size() && url[end] != '/' && url[end] != '?' && url[end] != '#')
        ++end;
    if (end == url.size())
        end = std::string_view::npos;
    std::string_view authority = url.substr(0, end);
    *pRest = end == std::string_view::npos ? std::string_view() : url.substr(end);
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        authority = authority.substr(0, close + 1);
    } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        authority = authority.substr(0, colon);
    }
    while (!authority.empty() && authority.back() == '.')
        authority.remove_suffix(1);
    if (authority.empty())
        return false;
    pHost->resize(authority.size());
    for (std::size_t i = 0; i < authority.size(); ++i) {
        if (IsSpaceOrControl(authority[i]))
            return false;
        (*pHost)[i] = Lower(authority[i]);
    }
    return true;
}

}  // namespace

std::string_view CCategoryLists::DomainFromLine(char* begin, char* end, bool* pbMalformed) {
    *pbMalformed = false;
    // A domain never holds '#', so a comment may start anywhere on the line.
    char* hash = std::find(begin, end, '#');
    std::string_view line = Trim(std::string_view(begin, static_cast<std::size_t>(hash - begin)));
    if (line.empty())
        return {};
    // "*.example.com" and ".example.com" mean the domain with everything below it, which
    // is what every entry means here.
    if (line.starts_with("*."))
        line.remove_prefix(2);
    else if (line.starts_with('.'))
        line.remove_prefix(1);
    while (!line.empty() && line.back() == '.')
        line.remove_suffix(1);
    if (line.empty() || std::any_of(line.begin(), line.end(), IsSpaceOrControl) ||
        line.find_first_of("/:@?") != std::string_view::npos) {
        *pbMalformed = true;
        return {};
    }
    char* p = begin + (line.data() - begin);
    for (std::size_t i = 0; i < line.size(); ++i)
        p[i] = Lower(p[i]);
    return line;
}

std::string_view CCategoryLists::UrlFromLine(char* begin, char* end, bool* pbMalformed) {
    *pbMalformed = false;
    std::string_view line = Trim(std::string_view(begin, static_cast<std::size_t>(end - begin)));
    // URLs may hold '#', so only a line that starts with it is a comment.
    if (line.empty() || line.front() == '#')
        return {};
    if (const std::size_t pos = line.find("://"); pos != std::string_view::npos)
        line.remove_prefix(pos + 3);
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
        line = line.substr(0, hash);
    char* p = begin + (line.data() - begin);
    std::size_t size = line.size();
    std::size_t hostEnd = std::string_view(p, size).find_first_of("/?");
    if (hostEnd == std::string_view::npos)
        hostEnd = size;
    // A port is dropped from the host: requests are matched without theirs.
    if (const std::size_t colon = std::string_view(p, hostEnd).find(':');
        colon != std::string_view::npos) {
        std::memmove(p + colon, p + hostEnd, size - hostEnd);
        size -= hostEnd - colon;
        hostEnd = colon;
    }
    for (std::size_t i = 0; i < hostEnd; ++i)
        p[i] = Lower(p[i]);
    std::string_view name(p, size);
    std::size_t hostSize = hostEnd;
    while (hostSize > 0 && name[hostSize - 1] == '.') {
        // Trailing dots of the host: shift the path over them.
        std::memmove(p + hostSize - 1, p + hostSize, size - hostSize);
        --size;
        --hostSize;
        name = std::string_view(p, size);
    }
    if (name.starts_with("www.")) {
        name.remove_prefix(4);
        hostSize -= 4;
    }
    while (name.size() > hostSize && name.back() == '/')
        name.remove_suffix(1);
    if (hostSize == 0 || std::any_of(name.begin(), name.end(), IsSpaceOrControl) ||
        name.substr(0, hostSize).find('@') != std::string_view::npos) {
        *pbMalformed = true;
        return {};
    }
    return name;
}

CCategoryLists::Text CCategoryLists::CopyText(std::string_view text) {
    Text out;
    out.data = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(out.data.get(), text.data(), text.size());
    out.size = text.size();
    return out;
}

HRESULT CCategoryLists::ReadText(const std::filesystem::path& file, Text* pText) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return S_FALSE;  // a category may have only one of its two files
    if (CheckExpression(fd < 0))
        return HResultFromErrno(errno);
    struct stat st = {};
    if (CheckExpression(::fstat(fd, &st) != 0)) {
        const int err = errno;
        ::close(fd);
        return HResultFromErrno(err);
    }
    if (CheckExpression(!S_ISREG(st.st_mode))) {
        ::close(fd);
        return E_INVALIDARG;
    }
    Text text;
    text.data = std::make_unique<char[]>(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t done = 0;
    // The size is a hint: a file that grows while it is read is read to its end.
    for (std::size_t capacity = static_cast<std::size_t>(st.st_size) + 1;;) {
        if (done == capacity) {
            auto bigger = std::make_unique<char[]>(2 * capacity);
            std::memcpy(bigger.get(), text.data.get(), done);
            text.data = std::move(bigger);
            capacity *= 2;
        }
        const ssize_t n = ::read(fd, text.data.get() + done, capacity - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (CheckExpression(n < 0)) {
            const int err = errno;
            ::close(fd);
            return HResultFromErrno(err);
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.size = done;
    *pText = std::move(text);
    return S_OK;
}

std::uint32_t CCategoryLists::UnionOf(std::uint32_t setIndex, std::uint32_t singleIndex) {
    const auto key = std::make_pair(setIndex, singleIndex);
    if (const auto it = m_unions.find(key); it != m_unions.end())
        return it->second;
    std::vector<std::uint32_t> numbers = m_sets[setIndex];
    const std::uint32_t number = m_sets[singleIndex].front();
    numbers.insert(std::upper_bound(numbers.begin(), numbers.end(), number), number);
    // Another pair of sets may have made the same union already.
    std::uint32_t index = 0;
    const auto same = std::find(m_sets.begin(), m_sets.end(), numbers);
    if (same != m_sets.end()) {
        index = static_cast<std::uint32_t>(same - m_sets.begin());
    } else {
        index = static_cast<std::uint32_t>(m_sets.size());
        m_sets.push_back(std::move(numbers));
    }
    m_unions.emplace(key, index);
    return index;
}

void CCategoryLists::AddNames(CNameTable* pTable, char* text, std::size_t size, bool bUrls,
                              std::uint32_t setIndex, Category* pCategory) {
    char* const end = text + size;
    // Lists saved by some editors start with a byte-order mark.
    if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0)
        text += 3;
    pTable->Reserve(pTable->Size() + static_cast<std::size_t>(std::count(text, end, '\n')) + 1);
    std::size_t& added = bUrls ? pCategory->urls : pCategory->domains;
    for (char* line = text; line < end;) {
        char* eol =
            static_cast<char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        if (!eol)
            eol = end;
        bool bMalformed = false;
        const std::string_view name =
            bUrls ? UrlFromLine(line, eol, &bMalformed) : DomainFromLine(line, eol, &bMalformed);
        line = eol + 1;
        if (bMalformed)
            ++pCategory->skippedLines;
        if (name.empty())
            continue;
        bool bAdded = false;
        std::uint32_t* pValue = pTable->FindOrAdd(name, setIndex, &bAdded);
        if (!pValue) {
            ++pCategory->skippedLines;  // too long to be a name
            continue;
        }
        if (bUrls) {
            bool bNewHost = false;
            m_urlHosts.FindOrAdd(name.substr(0, name.find_first_of("/?")), 0, &bNewHost);
        }
        if (bAdded) {
            ++added;
        } else if (*pValue != setIndex) {
            const auto& numbers = m_sets[*pValue];
            if (!std::binary_search(numbers.begin(), numbers.end(), m_sets[setIndex].front())) {
                *pValue = UnionOf(*pValue, setIndex);
                ++added;
            }
        }
    }
}

HRESULT CCategoryLists::AddCategoryTexts(std::string_view strName, std::uint32_t number,
                                         Text domains, Text urls) {
    for (const Category& category : m_categories) {
        if (CheckExpression(category.number == number))
            return E_INVALIDARG;
    }
    const auto setIndex = static_cast<std::uint32_t>(m_sets.size());
    m_sets.push_back({number});
    Category category;
    category.strName = std::string(strName);
    category.number = number;
    if (domains.data) {
        AddNames(&m_domains, domains.data.get(), domains.size, false, setIndex, &category);
        m_texts.push_back(std::move(domains.data));
    }
    if (urls.data) {
        AddNames(&m_urls, urls.data.get(), urls.size, true, setIndex, &category);
        m_texts.push_back(std::move(urls.data));
    }
    m_categories.push_back(std::move(category));
    return S_OK;
}

HRESULT CCategoryLists::AddCategory(std::string_view strName, std::uint32_t number,
                                    std::string_view domains, std::string_view urls) {
    try {
        return AddCategoryTexts(strName, number, CopyText(domains), CopyText(urls));
    } catch (...) {
        return ReportException("CCategoryLists::AddCategory", CV_HERE);
    }
}

namespace {

// The `categories` file: "name number" a line, '#' comments. Malformed lines and taken
// numbers are logged and skipped.
std::map<std::string, std::uint32_t> ReadNumbers(const std::filesystem::path& file) {
    std::map<std::string, std::uint32_t> numbers;
    FILE* f = std::fopen(file.c_str(), "re");
    if (!f)
        return numbers;
    std::set<std::uint32_t> taken;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, f)) {
        std::string_view line(buffer);
        line = Trim(line.substr(0, line.find_first_of("#\n")));
        if (line.empty())
            continue;
        const std::size_t gap = line.find_first_of(" \t");
        const std::string_view name = line.substr(0, gap);
        const std::string_view text =
            gap == std::string_view::npos ? std::string_view() : Trim(line.substr(gap));
        std::uint32_t number = 0;
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (CheckExpression(text.empty() || ec != std::errc() || ptr != text.data() + text.size() ||
                            !taken.insert(number).second || numbers.contains(std::string(name)))) {
            WriteLog("Category numbers: line skipped: " + std::string(line), nullptr);
            continue;
        }
        numbers.emplace(std::string(name), number);
    }
    std::fclose(f);
    return numbers;
}

}  // namespace

HRESULT CCategoryLists::Load(const std::filesystem::path& dir,
                             std::unique_ptr<CCategoryLists>* pLists) {
    if (CheckExpression(!pLists))
        return E_POINTER;
    try {
        std::error_code ec;
        std::vector<std::string> names;
        for (std::filesystem::directory_iterator it(dir, ec), last; !ec && it != last;
             it.increment(ec)) {
            if (it->is_directory(ec) && !it->path().filename().string().starts_with('.'))
                names.push_back(it->path().filename().string());
        }
        if (CheckExpression(ec.value() != 0))
            return HResultFromErrno(ec.value());
        std::sort(names.begin(), names.end());

        const std::map<std::string, std::uint32_t> numbers = ReadNumbers(dir / "categories");
        std::set<std::uint32_t> taken;
        for (const auto& [name, number] : numbers)
            taken.insert(number);
        std::uint32_t nextNumber = kFirstAutomaticNumber;

        auto lists = std::make_unique<CCategoryLists>();
        for (const std::string& name : names) {
            Text domains, urls;
            HRESULT hr = ReadText(dir / name / "domains", &domains);
            if (!CheckResult(hr))
                return hr;
            hr = ReadText(dir / name / "urls", &urls);
            if (!CheckResult(hr))
                return hr;
            if (!domains.data && !urls.data) {
                WriteLog("Category directory " + name + " has neither domains nor urls; left out",
                         nullptr);
                continue;
            }
            std::uint32_t number = 0;
            if (const auto it = numbers.find(name); it != numbers.end()) {
                number = it->second;
            } else {
                while (taken.contains(nextNumber))
                    ++nextNumber;
                number = nextNumber++;
                taken.insert(number);
            }
            hr = lists->AddCategoryTexts(name, number, std::move(domains), std::move(urls));
            if (!CheckResult(hr))
                return hr;
        }
        lists->m_unions.clear();
        *pLists = std::move(lists);
        return S_OK;
    } catch (...) {
        return ReportException("CCategoryLists::Load", CV_HERE);
    }
}

HRESULT CCategoryLists::Match(std::string_view url, std::vector<std::uint32_t>* pNumbers) const {
    if (CheckExpression(!pNumbers))
        return E_POINTER;
    pNumbers->clear();
    try {
        std::string host;
        std::string_view rest;
        if (!SplitRequestURL(url, &host, &rest))
            return E_INVALIDARG;

        auto note = [&](const std::uint32_t* pValue) {
            if (pValue)
                pNumbers->insert(pNumbers->end(), m_sets[*pValue].begin(), m_sets[*pValue].end());
        };

        // The host and every parent domain; an address is only itself.
        std::string_view domain = host;
        const bool bWalk = host.front() != '[' && !IsIPv4Literal(host);
        for (;;) {
            note(m_domains.Find(domain));
            const std::size_t dot = domain.find('.');
            if (!bWalk || dot == std::string_view::npos)
                break;
            domain.remove_prefix(dot + 1);
        }

        std::string_view urlHost = host;
        if (urlHost.starts_with("www."))
            urlHost.remove_prefix(4);
        if (m_urlHosts.Find(urlHost)) {
            rest = rest.substr(0, rest.find('#'));
            std::string key;
            key.reserve(urlHost.size() + rest.size());
            key.append(urlHost);
            key.append(rest);
            std::string_view candidate = key;
            if (const std::size_t query = candidate.find('?'); query != std::string_view::npos) {
                note(m_urls.Find(candidate));
                candidate = candidate.substr(0, query);
            }
            for (;;) {
                while (candidate.size() > urlHost.size() && candidate.back() == '/')
                    candidate.remove_suffix(1);
                note(m_urls.Find(candidate));
                if (candidate.size() <= urlHost.size())
                    break;
                candidate = candidate.substr(0, candidate.rfind('/'));
            }
        }

        std::sort(pNumbers->begin(), pNumbers->end());
        pNumbers->erase(std::unique(pNumbers->begin(), pNumbers->end()), pNumbers->end());
        return S_OK;
    } catch (...) {
        return ReportException("CCategoryLists::Match", CV_HERE);
    }
}
