// The console window's localised text constants, with their built-in texts.

#include "console/dbs_window.h"
#include "platform/localized_string.h"

using platform::GetLocalizedString;

std::string dbswindow::win_tit_databases() { return GetLocalizedString("dbswindow.win_tit_databases", "Databases"); }
std::string dbswindow::dblistbox_tits() {
    return GetLocalizedString("dbswindow.dblistbox_tits", "Database name;search;default");
}
std::string dbswindow::st_myip() { return GetLocalizedString("dbswindow.st_myip", "My IP"); }
std::string dbswindow::st_port() { return GetLocalizedString("dbswindow.st_port", "Port"); }
std::string dbswindow::st_limitconnections() {
    return GetLocalizedString("dbswindow.st_limitconnections", "Limit connections");
}
std::string dbswindow::st_limittotalresuts() {
    return GetLocalizedString("dbswindow.st_limittotalresuts", "Limit results - total");
}
std::string dbswindow::st_limitdbresults() {
    return GetLocalizedString("dbswindow.st_limitdbresults", "Limit results per database");
}
std::string dbswindow::butt_removedbfile() {
    return GetLocalizedString("dbswindow.butt_removedbfile", "Remove selected database");
}
