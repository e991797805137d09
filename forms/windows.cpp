// Each opening creates a fresh window; a closed one is hidden and never shown again.
#include "windows.h"

#include "about.h"
#include "editinfo.h"
#include "globals.h"
#include "newuser.h"
#include "safety.h"
#include "search.h"
#include "viewinfo.h"

#include <QString>

void openNewUserWindow(Context& context) {
    Form2 = new TForm2(context);
    Form2->showModeless();
}

void openSearchWindow(Context& context) {
    Form5 = new TForm5(context);
    Form5->showModal();
}

void openAboutWindow(Context& context) {
    AboutBox = new TAboutBox(context);
    AboutBox->showModal(); // the window frees itself and clears the reference
}

void openEditInfoWindow(Context& context) {
    std::optional<sorvane::LineList> profile = TForm7::readProfile(context);
    if (!profile)
        return;
    Form7 = new TForm7(context);
    Form7->profile = std::move(*profile);
    Form7->showModeless();
}

void openViewInformation(Context& context, const QString& user) {
    Form6 = new TForm6(context);
    // The window loads the profile named by its caption as it is shown.
    Form6->setWindowTitle(user);
    Form6->showModeless();
}

void openSafetyNumber(Context& context, const QString& partner) {
    (new TSafetyNumberBox(context, partner))->showModeless();
}
