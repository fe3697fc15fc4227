// The program's fixed texts, byte for byte, by their string-resource numbers.
#pragma once

#include <string_view>

namespace resources {

constexpr unsigned IDS_SERVICENAME = 100;
constexpr unsigned IDS_SERVERERROR = 101;
constexpr unsigned IDS_SCRIPTERROR = 102;
constexpr unsigned IDS_CRITICALERROR = 103;
constexpr unsigned IDS_CANNOTOPENSERVICEMANAGER = 55306;
constexpr unsigned IDS_CANNOTSTARTSERVICE = 55307;
constexpr unsigned IDS_CANNOTOPENSERVICE = 55308;
constexpr unsigned IDS_CANNOTSTOPSERVICE = 55309;
constexpr unsigned IDS_CANNOTDELETESERVICE = 55310;

// The text of a string resource; empty when the program has none by that number.
std::string_view LoadString(unsigned id);

}  // namespace resources
