#pragma once

#include <QString>
#include <QWidget>
#include <functional>

class QCheckBox;
class QLineEdit;

// Settings page "Preferences": the main window's start view and new-mail
// notice, remote commands, resetting the opt-out prompts and moving the data
// folder.
class CEmailHistory;

class CPreferencesPage : public QWidget {
    Q_OBJECT

public:
    explicit CPreferencesPage(QWidget* parent = nullptr);

    void Load();
    void Save();

    // Replaces the folder browser (tests); answers the folder or nothing.
    void SetFolderChooser(std::function<QString(QWidget*, const QString&)> chooser) {
        m_chooseFolder = std::move(chooser);
    }
    // The records in memory whose quarantine files a move re-points (the
    // running engine's); none when not set.
    void SetHistory(CEmailHistory* history) { m_history = history; }
    // Copies the data to target, re-points the records to the copied
    // quarantine files and makes it the data folder, all or nothing; false
    // (after telling the user) when any of it failed.
    bool MoveDataFolder(const QString& target);

public slots:
    void OnResetPrompts();
    void OnRemoteCommandsClicked();
    void OnBrowseDataFolder();

private:
    void OnPasswordLeft();

    QCheckBox* m_remote = nullptr;
    QLineEdit* m_password = nullptr;
    QLineEdit* m_retype = nullptr;
    QLineEdit* m_dataFolder = nullptr;
    std::function<QString(QWidget*, const QString&)> m_chooseFolder;
    CEmailHistory* m_history = nullptr;
};
