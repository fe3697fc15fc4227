// corvane-site: compiles a directory of pages into a site file, or lists a site.
//
//     corvane-site SOURCE-DIR SITE-FILE    compile
//     corvane-site --list SITE-FILE        print the site's tree and page records
#include <cstring>
#include <iostream>

#include "com/HResult.h"
#include "tools/site/SiteCompiler.h"
#include "tools/site/SiteLister.h"

namespace {

int Usage() {
    std::cerr << "usage: corvane-site SOURCE-DIR SITE-FILE\n"
                 "       corvane-site --list SITE-FILE\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return Usage();
    if (std::strcmp(argv[1], "--list") == 0) {
        HRESULT hr = CSiteLister::List(argv[2], std::cout);
        if (FAILED(hr)) {
            std::cerr << "corvane-site: " << argv[2] << ": cannot open the site ("
                      << HResultToString(hr);
            const std::string strText = ErrorText(hr);
            if (!strText.empty())
                std::cerr << ", " << strText;
            std::cerr << ")\n";
            return 1;
        }
        return 0;
    }
    if (argv[1][0] == '-')
        return Usage();
    std::string strError;
    HRESULT hr = CSiteCompiler::Compile(argv[1], argv[2], &strError);
    if (FAILED(hr)) {
        std::cerr << "corvane-site: " << strError << "\n";
        return 1;
    }
    return 0;
}
