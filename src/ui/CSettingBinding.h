#pragma once

#include <string>

#include "support/SettingsTable.h"

class CSettings;
class QWidget;

// Ties the controls of a settings page to keys: a control carries the id of
// its row in a binding table, and TransferSettings loads or saves every row
// whose control the page holds, by the control's kind: a line edit as text,
// a check box or radio button as Yes/No, a combo box as its selected index.
class CSettingBinding {
public:
    enum Direction { Load = 0, Save = 1 };

    // Marks control as the one of the row with this id.
    static void Bind(QWidget* control, int controlId);
    static QWidget* FindControl(QWidget* page, int controlId);
    // account replaces the empty section of account rows. Rows without a
    // control on this page are passed over.
    static void TransferSettings(CSettings& settings, const SettingBinding* table, QWidget* page,
                                 Direction direction, const std::string& account = std::string());
};
