// Variant figures the script engines lean on, each against a plain C++ baseline run in
// the same process (ratio = baseline time / ours; above 1 means faster than baseline):
//  - copy: VariantCopy + VariantClear of a 40-character string value, against copying
//    and destroying a std::u16string of the same text;
//  - read: VariantChangeTypeEx of "1234.5" to VT_R8, against strtod on the UTF-8 text;
//  - write: a VT_R8 to VT_BSTR, against snprintf("%.15G");
//  - compare: VarCmp of two 20-character strings (locale collation), against
//    std::u16string::compare (code units).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "com/CComVariant.h"
#include "com/Locale.h"
#include "com/VarMath.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 200000;
volatile double g_sink;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Report(const char* name, double ours, double baseline) {
    std::printf("%-8s %10.1f ns/op   baseline %8.1f ns/op   ratio %.2f\n", name,
                ours * 1e9 / kRounds, baseline * 1e9 / kRounds, baseline / ours);
}

}  // namespace

int main() {
    const std::u16string text(40, u'x');
    {
        CComVariant value{BSTR(text)};
        auto start = Clock::now();
        for (int i = 0; i < kRounds; ++i) {
            VARIANT copy;
            VariantInit(&copy);
            VariantCopy(&copy, &value);
            g_sink = copy.vt;
            VariantClear(&copy);
        }
        double ours = Seconds(start);
        start = Clock::now();
        for (int i = 0; i < kRounds; ++i) {
            std::u16string copy = text;
            g_sink = static_cast<double>(copy.size());
        }
        Report("copy", ours, Seconds(start));
    }
    {
        CComVariant number(u"1234.5");
        auto start = Clock::now();
        for (int i = 0; i < kRounds; ++i) {
            CComVariant out;
            VariantChangeTypeEx(&out, &number, LCID_EN_US, 0, VT_R8);
            g_sink = out.dblVal;
        }
        double ours = Seconds(start);
        start = Clock::now();
        for (int i = 0; i < kRounds; ++i)
            g_sink = std::strtod("1234.5", nullptr);
        Report("read", ours, Seconds(start));
    }
    {
        CComVariant number(1234.5);
        auto start = Clock::now();
        for (int i = 0; i < kRounds; ++i) {
            CComVariant out;
            VariantChangeTypeEx(&out, &number, LCID_EN_US, 0, VT_BSTR);
            g_sink = out.Text().size();
        }
        double ours = Seconds(start);
        start = Clock::now();
        for (int i = 0; i < kRounds; ++i) {
            char buf[32];
            g_sink = std::snprintf(buf, sizeof buf, "%.15G", 1234.5 + i);
        }
        Report("write", ours, Seconds(start));
    }
    {
        CComVariant a(u"Parental control list"), b(u"Parental control LIST");
        auto start = Clock::now();
        for (int i = 0; i < kRounds; ++i)
            g_sink = VarCmp(&a, &b, LCID_EN_US, 0);
        double ours = Seconds(start);
        std::u16string sa(a.Text()), sb(b.Text());
        start = Clock::now();
        for (int i = 0; i < kRounds; ++i)
            g_sink = sa.compare(sb);
        Report("compare", ours, Seconds(start));
    }
    return 0;
}
