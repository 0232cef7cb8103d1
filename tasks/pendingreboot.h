#pragma once

#include <QString>

#include <optional>

// A reboot an installation still owes, kept in the user's runtime folder so that an agent the
// session starts again after a crash knows of it: it shows the count-down with the time that is
// left and holds install prompts back, since a reboot that cuts an installation breaks packages.
// The entry holds the boot it belongs to; a new boot, or a reboot that logind accepted, ends it.
namespace PendingReboot {

struct Entry {
    QString taskId;
    QString taskName;
    qint64 endMs = 0;  // when the count-down ends (ms since the epoch); 0: no count-down, the user decides
};

void save(const Entry &entry);
// This boot's entry, if the agent left one. A file of another user's, a link or garbage is
// ignored (and said in the log); an entry of an earlier boot is removed.
std::optional<Entry> load();
void clear();

}  // namespace PendingReboot
