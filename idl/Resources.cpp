// The string table of the service program.
#include "idl/Resources.h"

namespace resources {

std::string_view LoadString(unsigned id) {
    switch (id) {
        case IDS_SERVICENAME: return "Corvane";
        case IDS_SERVERERROR:
            return "<html><head><title>500 Internal Server Error</title></head><body><P>A server "
                   "error has occurred:</P><P>%s</P><P>Please contact your support team for "
                   "advice on further action.</P></body></html>";
        case IDS_SCRIPTERROR: return "%s: %s at line %lu, character %lu of file %s.";
        case IDS_CRITICALERROR:
            return "A critical error has occured in Corvane.\n\n%s\n\nPlease contect your "
                   "support team for advice on further action.";
        case IDS_CANNOTOPENSERVICEMANAGER: return "Could not open Service Manager";
        case IDS_CANNOTSTARTSERVICE: return "Could not start service";
        case IDS_CANNOTOPENSERVICE: return "Could not open service";
        case IDS_CANNOTSTOPSERVICE: return "Could not stop service";
        case IDS_CANNOTDELETESERVICE: return "Could not delete service";
        default: return {};
    }
}

}  // namespace resources
