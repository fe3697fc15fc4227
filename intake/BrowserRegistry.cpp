// Registered browsers: reading the list and filling it from desktop entries.
#include "intake/BrowserRegistry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "com/DiagnosticLog.h"
#include "registry/RegistryValue.h"

namespace fs = std::filesystem;

namespace {

std::string ToLowerAscii(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The first word of a command line: a double-quoted string or up to the first blank.
std::string FirstWord(const std::string& line) {
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos)
        return {};
    if (line[start] == '"') {
        std::size_t end = line.find('"', start + 1);
        return line.substr(start + 1, end == std::string::npos ? end : end - start - 1);
    }
    std::size_t end = line.find_first_of(" \t", start);
    return line.substr(start, end == std::string::npos ? end : end - start);
}

bool IsExecutableFile(const fs::path& file) {
    std::error_code ec;
    return fs::is_regular_file(file, ec) && access(file.c_str(), X_OK) == 0;
}

fs::path FindOnPath(const std::string& program, const std::string& path) {
    if (program.empty())
        return {};
    if (program.find('/') != std::string::npos)
        return IsExecutableFile(program) ? fs::path(program) : fs::path();
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty())
            continue;
        fs::path candidate = fs::path(dir) / program;
        if (IsExecutableFile(candidate))
            return candidate;
    }
    return {};
}

// A launcher script's program: the absolute path after the last "exec" in the script.
fs::path ScriptTarget(const fs::path& script) {
    std::ifstream in(script, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line.rfind("#!", 0) != 0)
        return {};
    fs::path target;
    while (std::getline(in, line)) {
        std::size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line.compare(at, 5, "exec ") != 0)
            continue;
        std::string word = FirstWord(line.substr(at + 5));
        if (!word.empty() && word[0] == '/')
            target = word;
    }
    return target;
}

}  // namespace

std::vector<std::string> ReadBrowserList(CRegistryStore& store) {
    std::vector<std::string> browsers;
    for (const char* root :
         {"HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Clients\\StartMenuInternet",
          kStartMenuInternetKey}) {
        std::vector<std::string> names;
        if (FAILED(store.EnumSubkeys(root, &names)))
            continue;
        for (const auto& name : names) {
            std::string command;
            if (FAILED(store.GetString(std::string(root) + "\\" + name + "\\shell\\open\\command",
                                       "", &command)))
                continue;
            command.erase(std::remove(command.begin(), command.end(), '"'), command.end());
            command = ToLowerAscii(command);
            if (std::find(browsers.begin(), browsers.end(), command) == browsers.end())
                browsers.push_back(command);
        }
    }
    return browsers;
}

HRESULT WriteBrowserListFile(const fs::path& file, const std::vector<std::string>& browsers) {
    try {
        std::string text;
        for (const auto& browser : browsers)
            if (!browser.empty() && browser.find_first_of("\r\n") == std::string::npos)
                text += browser + "\n";
        // errno of the first failing step (the log may change errno itself).
        int error = 0;
        const fs::path dir = file.parent_path();
        if (!dir.empty() && ::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            error = errno;
        if (CheckExpression(error != 0))
            return HResultFromErrno(error);
        std::string temp = file.string() + ".XXXXXX";
        const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0)
            error = errno;
        if (CheckExpression(fd < 0))
            return HResultFromErrno(error);
        std::size_t done = 0;
        while (!error && done < text.size()) {
            ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (n == 0 || errno != EINTR)
                error = n == 0 ? EIO : errno;
        }
        // mkostemp creates the file 0600; its readers are every user's processes.
        if (!error && ::fchmod(fd, 0644) != 0)
            error = errno;
        if (!error && ::fsync(fd) != 0)
            error = errno;
        if (::close(fd) != 0 && !error)
            error = errno;
        if (!error && ::rename(temp.c_str(), file.c_str()) != 0)
            error = errno;
        if (CheckExpression(error != 0)) {
            ::unlink(temp.c_str());
            return HResultFromErrno(error);
        }
        return S_OK;
    } catch (...) {
        return ReportException("WriteBrowserListFile", CV_HERE);
    }
}

fs::path ResolveBrowserExecutable(const std::string& execLine, const std::string& path) {
    fs::path program = FindOnPath(FirstWord(execLine), path);
    // Launcher scripts may chain; a few steps are plenty and bound a loop.
    for (int step = 0; step < 4 && !program.empty(); ++step) {
        std::error_code ec;
        fs::path real = fs::canonical(program, ec);
        if (ec)
            return {};
        fs::path next = ScriptTarget(real);
        if (next.empty() || !IsExecutableFile(next))
            return real;
        program = next;
    }
    return {};
}

HRESULT WriteBrowserRegistrations(CRegistryTree& tree, const std::vector<fs::path>& applicationDirs,
                                  const std::string& path) {
    try {
        for (const auto& dir : applicationDirs) {
            std::error_code ec;
            for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
                if (it->path().extension() != ".desktop")
                    continue;
                std::ifstream in(it->path());
                std::string line, exec;
                bool inEntry = false, browser = false, hidden = false;
                while (std::getline(in, line)) {
                    if (!line.empty() && line[0] == '[') {
                        inEntry = line == "[Desktop Entry]";
                        continue;
                    }
                    if (!inEntry)
                        continue;
                    if (line.rfind("Exec=", 0) == 0)
                        exec = line.substr(5);
                    if (line.rfind("Categories=", 0) == 0)
                        browser =
                            (";" + line.substr(11) + ";").find(";WebBrowser;") != std::string::npos;
                    if (line == "NoDisplay=true" || line == "Hidden=true")
                        hidden = true;
                }
                if (!browser || hidden || exec.empty())
                    continue;
                fs::path program = ResolveBrowserExecutable(exec, path);
                if (program.empty())
                    continue;
                const std::string key = std::string(kStartMenuInternetKey) + "\\" +
                                        it->path().stem().string() + "\\shell\\open\\command";
                HRESULT hr = tree.SetValue(
                    key, "", CRegistryValue::FromString("\"" + program.string() + "\""));
                if (!CheckResult(hr))
                    return hr;
            }
        }
        return S_OK;
    } catch (...) {
        return ReportException("WriteBrowserRegistrations", CV_HERE);
    }
}

std::vector<fs::path> DesktopEntryDirectories() {
    std::vector<fs::path> dirs;
    const char* home = std::getenv("XDG_DATA_HOME");
    const char* user = std::getenv("HOME");
    if (home && *home == '/')
        dirs.push_back(fs::path(home) / "applications");
    else if (user && *user == '/')
        dirs.push_back(fs::path(user) / ".local/share/applications");
    const char* data = std::getenv("XDG_DATA_DIRS");
    std::stringstream list(data && *data ? data : "/usr/local/share:/usr/share");
    std::string dir;
    while (std::getline(list, dir, ':'))
        if (!dir.empty() && dir[0] == '/')
            dirs.push_back(fs::path(dir) / "applications");
    return dirs;
}
