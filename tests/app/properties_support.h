#pragma once
// Playing the user in the Port Properties dialog: choosing in its combo boxes, typing
// into its edit boxes and pressing its buttons, through QTest.
#include "app/port_properties_dialog.h"

#include <QString>

#include <functional>
#include <string>

struct Fields {
    std::string com; // "" = no selection
    std::string address;
    int portNo; // 0 = no selection
    std::string description;
};

// Replaces the dialog's fields with these, as typed and chosen by the user.
void fill(PortPropertiesDialog& dialog, const Fields& fields);
void press(PortPropertiesDialog& dialog, int id);
// Types text at the end of an edit box.
void typeInto(PortPropertiesDialog& dialog, int id, const QString& text);
// The fields as the dialog shows them.
Fields shown(PortPropertiesDialog& dialog);

// Runs script on the Port Properties dialog as soon as a command has opened it
// modally; a dialog the script leaves open is cancelled (and the test fails).
void whenPropertiesOpen(std::function<void(PortPropertiesDialog&)> script);
