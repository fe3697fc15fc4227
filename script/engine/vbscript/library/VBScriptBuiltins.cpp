// The built-in table, the constants table and the library's classes.
//
// Each family contributes its slice of the table; they are merged once and kept sorted
// by upper-cased name so that lookup is a binary search.
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "com/ClassRegistry.h"
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "script/engine/vbscript/library/CDictionary.h"
#include "script/engine/vbscript/library/CRegExp.h"
#include "script/engine/vbscript/library/VBLibrarySupport.h"

namespace {

const std::vector<VBBuiltin>& Table() {
    static const std::vector<VBBuiltin> table = [] {
        std::vector<VBBuiltin> all;
        for (auto slice :
             {VBConversionBuiltins(), VBStringBuiltins(), VBMathBuiltins(), VBDateBuiltins(),
              VBFormatBuiltins(), VBArrayBuiltins(), VBHostBuiltins()})
            all.insert(all.end(), slice.begin(), slice.end());
        std::sort(all.begin(), all.end(), [](const VBBuiltin& a, const VBBuiltin& b) {
            return CompareNoCase(a.name, b.name) < 0;
        });
        return all;
    }();
    return table;
}

VBBuiltinConstant Long(std::u16string_view name, LONG value) {
    VBBuiltinConstant c{name, {}};
    c.value.vt = VT_I4;
    c.value.lVal = value;
    return c;
}

VBBuiltinConstant Integer(std::u16string_view name, SHORT value) {
    VBBuiltinConstant c{name, {}};
    c.value.vt = VT_I2;
    c.value.iVal = value;
    return c;
}

VBBuiltinConstant Text(std::u16string_view name, BSTR value) {
    VBBuiltinConstant c{name, {}};
    VariantSetBstr(&c.value, std::move(value));
    return c;
}

// The constants live for the whole process; their strings are never released.
std::vector<VBBuiltinConstant> MakeConstants() {
    return {
        // Strings.
        Text(u"vbCr", u"\r"),
        Text(u"vbCrLf", u"\r\n"),
        Text(u"vbFormFeed", u"\f"),
        Text(u"vbLf", u"\n"),
        Text(u"vbNewLine", u"\r\n"),
        Text(u"vbNullChar", BSTR(std::u16string(1, u'\0'))),
        Text(u"vbNullString", BSTR()),
        Text(u"vbTab", u"\t"),
        Text(u"vbVerticalTab", u"\v"),
        // Tristate and comparison.
        Integer(u"vbTrue", -1),
        Integer(u"vbFalse", 0),
        Integer(u"vbUseDefault", -2),
        Integer(u"vbBinaryCompare", 0),
        Integer(u"vbTextCompare", 1),
        Integer(u"vbDatabaseCompare", 2),
        // VarType.
        Integer(u"vbEmpty", 0),
        Integer(u"vbNull", 1),
        Integer(u"vbInteger", 2),
        Integer(u"vbLong", 3),
        Integer(u"vbSingle", 4),
        Integer(u"vbDouble", 5),
        Integer(u"vbCurrency", 6),
        Integer(u"vbDate", 7),
        Integer(u"vbString", 8),
        Integer(u"vbObject", 9),
        Integer(u"vbError", 10),
        Integer(u"vbBoolean", 11),
        Integer(u"vbVariant", 12),
        Integer(u"vbDataObject", 13),
        Integer(u"vbDecimal", 14),
        Integer(u"vbByte", 17),
        Integer(u"vbArray", 8192),
        // Dates.
        Integer(u"vbUseSystemDayOfWeek", 0),
        Integer(u"vbSunday", 1),
        Integer(u"vbMonday", 2),
        Integer(u"vbTuesday", 3),
        Integer(u"vbWednesday", 4),
        Integer(u"vbThursday", 5),
        Integer(u"vbFriday", 6),
        Integer(u"vbSaturday", 7),
        Integer(u"vbUseSystem", 0),
        Integer(u"vbFirstJan1", 1),
        Integer(u"vbFirstFourDays", 2),
        Integer(u"vbFirstFullWeek", 3),
        Integer(u"vbGeneralDate", 0),
        Integer(u"vbLongDate", 1),
        Integer(u"vbShortDate", 2),
        Integer(u"vbLongTime", 3),
        Integer(u"vbShortTime", 4),
        // Colours.
        Long(u"vbBlack", 0x000000),
        Long(u"vbRed", 0x0000FF),
        Long(u"vbGreen", 0x00FF00),
        Long(u"vbYellow", 0x00FFFF),
        Long(u"vbBlue", 0xFF0000),
        Long(u"vbMagenta", 0xFF00FF),
        Long(u"vbCyan", 0xFFFF00),
        Long(u"vbWhite", 0xFFFFFF),
        // Message boxes.
        Integer(u"vbOKOnly", 0),
        Integer(u"vbOKCancel", 1),
        Integer(u"vbAbortRetryIgnore", 2),
        Integer(u"vbYesNoCancel", 3),
        Integer(u"vbYesNo", 4),
        Integer(u"vbRetryCancel", 5),
        Integer(u"vbCritical", 16),
        Integer(u"vbQuestion", 32),
        Integer(u"vbExclamation", 48),
        Integer(u"vbInformation", 64),
        Integer(u"vbDefaultButton1", 0),
        Integer(u"vbDefaultButton2", 256),
        Integer(u"vbDefaultButton3", 512),
        Integer(u"vbDefaultButton4", 768),
        Integer(u"vbApplicationModal", 0),
        Integer(u"vbSystemModal", 4096),
        Integer(u"vbOK", 1),
        Integer(u"vbCancel", 2),
        Integer(u"vbAbort", 3),
        Integer(u"vbRetry", 4),
        Integer(u"vbIgnore", 5),
        Integer(u"vbYes", 6),
        Integer(u"vbNo", 7),
        // Errors.
        Long(u"vbObjectError", static_cast<LONG>(0x80040000u)),
    };
}

}  // namespace

std::span<const VBBuiltin> VBScriptBuiltins() {
    return Table();
}

const VBBuiltin* FindVBScriptBuiltin(std::u16string_view name) {
    // Upper-cased name -> the first entry of that name in the table, built once and
    // read-only afterwards: scripts look names up here each time a new instance first
    // uses them. Never destroyed, so that it outlives every caller.
    static const auto* index = [] {
        auto* map = new std::unordered_map<std::u16string, const VBBuiltin*>();
        for (const VBBuiltin& entry : Table())
            map->emplace(ToUpperSimple(entry.name), &entry);
        return map;
    }();
    auto it = index->find(ToUpperSimple(name));
    return it == index->end() ? nullptr : it->second;
}

std::span<const VBBuiltinConstant> VBScriptConstants() {
    // Never destroyed: the table's strings live for the whole process, and a table that
    // stays reachable is not a leak.
    static const auto* constants = new std::vector<VBBuiltinConstant>(MakeConstants());
    return *constants;
}

HRESULT CreateVBScriptBuiltinClass(std::u16string_view className, IDispatch** ppObject) {
    if (CheckExpression(!ppObject))
        return E_POINTER;
    *ppObject = nullptr;
    if (!EqualsNoCase(className, u"RegExp"))
        return VBScriptError(506);
    HRESULT hr = S_OK;
    CComPtr<CRegExp> object = MakeObject<CRegExp>(&hr);
    if (FAILED(hr))
        return hr;
    *ppObject = object.Detach();
    return S_OK;
}

void RegisterVBScriptLibraryClasses() {
    // Registering again replaces the entries with the same ones.
    CClassRegistry& registry = CClassRegistry::Instance();
    CheckResult(registry.RegisterClass<CDictionary>(
        MakeGUID("{EE09B103-97E0-11CF-978F-00A02463E06F}"), u"Scripting.Dictionary"));
    CheckResult(registry.RegisterClass<CRegExp>(MakeGUID("{3F4DACA4-160D-11D2-A8E9-00104B365C9F}"),
                                                u"VBScript.RegExp"));
}
