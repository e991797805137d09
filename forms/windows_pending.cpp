// Windows that are not built yet open nothing.
#include "windows.h"

#include <QString>

void openNewUserWindow(Context&) {}
void openSearchWindow(Context&) {}
void openAboutWindow(Context&) {}
void openEditInfoWindow(Context&) {}
void openViewInformation(Context&, const QString&) {}
