#pragma once
// Opening the windows that the login and main windows start. Each call creates a fresh
// window, stores it in its process-wide reference and shows it.
#include "context.h"

class QString;

void openNewUserWindow(Context& context);                        // modeless
void openSearchWindow(Context& context);                         // modal: returns when it closes
void openAboutWindow(Context& context);                          // modal, freed when it closes
void openEditInfoWindow(Context& context);                       // modeless, once read
void openViewInformation(Context& context, const QString& user); // modeless, captioned user
void openSafetyNumber(Context& context, const QString& partner); // modeless
