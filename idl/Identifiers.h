// The identifiers of Corvane's interfaces, classes, type libraries and applications.
//
// Both programs, the service and the tray program, include this one header, so an
// interface id or a class id is written down exactly once. The values are fixed: stored
// site files carry the class ids of pages and entities, peers name interfaces by id, and
// registrations write them out in registry form. ProgIDs are the names scripts and the
// registration use; each class has a version-independent and a versioned one.
#pragma once

#include <span>
#include <string_view>

#include "com/ClassRegistry.h"
#include "com/Guid.h"

// ---- Type libraries and applications ----------------------------------------------------

// The service's type library: the script-visible interfaces and the NetworkProtocol
// enumeration. Scripts import it by this id and version.
constexpr GUID LIBID_Corvane = MakeGUID("{D53C533F-4D4F-450D-8A2F-60CA5D6FBEBA}");
constexpr WORD LIBVER_Corvane_Major = 2;
constexpr WORD LIBVER_Corvane_Minor = 0;

// The tray program's type library.
constexpr GUID LIBID_Pellora = MakeGUID("{F47791B9-D266-4CDD-AE44-F8FF056A48E3}");

constexpr GUID APPID_Corvane = MakeGUID("{874CF721-3BCD-4BF8-9A49-5CAB105AA74E}");
constexpr GUID APPID_Pellora = MakeGUID("{813054C6-A05E-4F3F-AD13-0ABCBAA75EFE}");

// ---- Classes of the service -------------------------------------------------------------

constexpr CLSID CLSID_Server = MakeGUID("{19BF719A-8566-443A-92F7-307C2D1D348D}");
constexpr CLSID CLSID_FilePage = MakeGUID("{D176B231-5C84-49E4-A5FE-F442BAF1AC23}");
constexpr CLSID CLSID_TextPage = MakeGUID("{DBF06384-C900-40F1-AC8C-A347FA2F4FEF}");
constexpr CLSID CLSID_ASAEntity = MakeGUID("{479857FB-EED7-41E3-A4C2-D69A9EEEB3E5}");
constexpr CLSID CLSID_ASPEntity = MakeGUID("{46B407D1-3C67-4E5D-A025-5C67C657F4AC}");
constexpr CLSID CLSID_FileEntity = MakeGUID("{2E51291D-D514-47ED-97CA-FBFAE7EC2E62}");
// Described in the type library only: server objects and tray icon objects are created
// by the service itself, never through the registry.
constexpr CLSID CLSID_ServerObject = MakeGUID("{F0E9C5B0-5472-4CC2-AED6-7324A8C42E0D}");
constexpr CLSID CLSID_TrayIcon = MakeGUID("{2D005715-D4B4-4B00-A9AB-7E3A1B6F1A70}");

// ---- Classes of the tray program --------------------------------------------------------

// The tray program's tray object ("TrayIcon Class"); not the service's TrayIcon coclass.
constexpr CLSID CLSID_PelloraTrayIcon = MakeGUID("{D7B6DE53-556B-4D15-AFB2-EB8AFD3772DD}");

// ---- ProgIDs ----------------------------------------------------------------------------

inline constexpr std::u16string_view PROGID_Server = u"Corvane.Server";
inline constexpr std::u16string_view PROGID_Server1 = u"Corvane.Server.1";
inline constexpr std::u16string_view PROGID_FilePage = u"Corvane.FilePage";
inline constexpr std::u16string_view PROGID_FilePage1 = u"Corvane.FilePage.1";
inline constexpr std::u16string_view PROGID_TextPage = u"Corvane.TextPage";
inline constexpr std::u16string_view PROGID_TextPage1 = u"Corvane.TextPage.1";
inline constexpr std::u16string_view PROGID_ASAEntity = u"Corvane.ASAEntity";
inline constexpr std::u16string_view PROGID_ASAEntity1 = u"Corvane.ASAEntity.1";
inline constexpr std::u16string_view PROGID_ASPEntity = u"Corvane.ASPEntity";
inline constexpr std::u16string_view PROGID_ASPEntity1 = u"Corvane.ASPEntity.1";
inline constexpr std::u16string_view PROGID_FileEntity = u"Corvane.FileEntity";
inline constexpr std::u16string_view PROGID_FileEntity1 = u"Corvane.FileEntity.1";
inline constexpr std::u16string_view PROGID_PelloraTrayIcon = u"Pellora.TrayIcon";
inline constexpr std::u16string_view PROGID_PelloraTrayIcon1 = u"Pellora.TrayIcon.1";

// ---- Interfaces -------------------------------------------------------------------------

// Custom interfaces (IUnknown-based).
constexpr IID IID_ISocketServer = MakeGUID("{24052005-6DE7-4FE6-B9B0-F4B5544188DE}");
constexpr IID IID_IPellora = MakeGUID("{ED165CEB-681D-4759-97B5-900F6FA80955}");
constexpr IID IID_IEntity = MakeGUID("{D001694D-180B-472D-B5FB-CC5A54C76FAD}");
constexpr IID IID_IHTTPEntity = MakeGUID("{6ABAC62F-B28C-4737-9729-68ED90B263FF}");
constexpr IID IID_IASPEntity = MakeGUID("{D0289CD3-F601-4F8D-AAFF-0E4F9EAED2C2}");
constexpr IID IID_IScriptEntity = MakeGUID("{75796F9E-387F-40C0-B16B-1E8FDAC1DB2E}");
constexpr IID IID_IHTTPResponse = MakeGUID("{90092C5A-23EC-4177-945F-54A8F58E17B1}");
constexpr IID IID_IScriptInstance = MakeGUID("{38E048FD-9D12-4DEE-BD78-473B36B2AA69}");
constexpr IID IID_IApplicationEx = MakeGUID("{90F34B85-704E-43B0-87BB-EAD6BECAE169}");
// The marker that the program's own objects answer; collections refuse to store them.
constexpr IID IID_ICorvane_Reserved = MakeGUID("{1F21888D-2298-48E0-B98A-3F94D673277F}");

// Dual interfaces of the type library: what scripts see.
constexpr IID IID_IRequest = MakeGUID("{85216118-1C3D-4EB5-B55A-090C40D39D12}");
constexpr IID IID_IRequestDictionary = MakeGUID("{22537F6F-BEC9-4F24-BD9E-E1907E86822F}");
constexpr IID IID_IResponse = MakeGUID("{EDB29A2C-2146-4979-8A20-F50D5505F3A4}");
constexpr IID IID_IApplication = MakeGUID("{F07BC300-0DC8-4EF7-97D1-73ED616F16FF}");
constexpr IID IID_IVariantDictionary = MakeGUID("{A202B862-DE00-469B-91CE-92DBEB69FB01}");
constexpr IID IID_IServerObject = MakeGUID("{7533EBBF-3617-486E-A379-8C71E528CAD3}");
constexpr IID IID_IStringList2 = MakeGUID("{F1B92923-0F0F-48E9-B7B4-0834A22B873D}");
constexpr IID IID_IStorageObject = MakeGUID("{CC514D8D-E449-439F-B13E-0A68111B3C60}");
constexpr IID IID_IFilterObject = MakeGUID("{EE759E17-B73B-4462-8D35-C259A8B415C3}");
constexpr IID IID_IUserObject = MakeGUID("{D1FA6283-83E4-40B8-A759-E735A17B750A}");
constexpr IID IID_ITrayIcon = MakeGUID("{BB0DAD56-222D-45D1-A9DD-62318C1E0C17}");
constexpr IID IID_IMenu = MakeGUID("{2200A134-C151-4AE2-B87A-498931421E33}");
// Not in the published library: the relayed connection a filtering script judges.
constexpr IID IID_IConnection = MakeGUID("{094CA276-3293-4EB1-A7F1-8502E589B620}");

// ---- Platform identifiers the program names -----------------------------------------------

// The script host asks the site for this service.
constexpr IID IID_IActiveScriptSite = MakeGUID("{DB01A1E3-A42B-11CF-8F20-00805F2CD064}");
// Created only when script debugging is switched on.
constexpr CLSID CLSID_ProcessDebugManager = MakeGUID("{78A51822-51F4-11D0-8F20-00805F2CD064}");
// The component-category manager through which script engines are found.
constexpr CLSID CLSID_StdComponentCategoriesMgr =
    MakeGUID("{0002E005-0000-0000-C000-000000000046}");
// CATID_ActiveScript and CATID_ActiveScriptParse come from com/ClassRegistry.h.

// ---- The whole list, for registration and checks ----------------------------------------

enum class IdentifierKind { TypeLibrary, Application, Class, Interface, Category, Platform };

struct IdentifierEntry {
    std::string_view name;  // the constant's name, e.g. "IID_IRequest"
    GUID guid;
    IdentifierKind kind;
};

// Every identifier declared above, each once.
std::span<const IdentifierEntry> AllIdentifiers();

struct ProgIdEntry {
    const CLSID* clsid;
    std::u16string_view versionIndependent;
    std::u16string_view versioned;
    std::string_view description;  // the class's registered description
};

// The ProgIDs of the registered classes of both programs.
std::span<const ProgIdEntry> AllProgIds();
