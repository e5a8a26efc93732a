#pragma once

#include <QString>

namespace vx {

class Messenger;
struct ProfileSet;
enum class ReceiveOutcome;

// The import filter: writes the items of the received temporary file to the
// target profile file, one a line (CR LF), leaving out the items whose key
// is "SETTINGS", "BOF", "EOF", "VERSION", "HARDWARE" or "FIRMWARE"; a line
// that held a comma becomes two lines. The target is replaced only by text
// that reads back as a profile (the checked reading every use shares),
// written beside it, synced and renamed over it: an earlier file stays
// untouched when the import fails. The temporary file is removed after the
// import, and after an import refused for its content. False when the
// temporary file does not exist, its content is no profile, or the target
// cannot be written (*error says why).
bool ImportSettings(const QString &tempPath, const QString &targetPath, QString *error = nullptr);

// True for the keys the import filter leaves out.
bool IsTransferOnlyKey(const QByteArray &key);

// What follows a reception, once the receive window has closed.
enum class ImportResult {
    Imported, // the target file holds the settings and the set was read from it
    Declined, // the user did not want them imported
    Failed,   // a reception error, an import error or a read error (shown)
    Nothing,  // cancelled before the terminal's "EOF": nothing to say
};

// Tells the user how the reception ended. When the settings arrived whole it
// asks "Settings Received!" / "Press OK to import." (unless askFirst is
// false), runs the import filter into targetPath and loads the target into
// `set` with the profile reader (when a set is given). A reception error
// shows "Error Receiving Settings, Please Try again.", a failed import
// "Error saving the profile. Please try again"; the target is then left as
// it was.
ImportResult CompleteSettingsReception(ReceiveOutcome outcome, const QString &tempPath, const QString &targetPath,
                                       ProfileSet *set, Messenger &messenger, bool askFirst = true);

} // namespace vx
