#pragma once

class QSettings;

// QSettings writes its file under "<file>.lock". A process killed between making that lock and
// writing its owner into it leaves an empty one, which QSettings takes for a live lock until it is
// 30 s old: every later writer's thread sleeps in sync() until then. Such a lock is removed first;
// QLockFile removes one only while no process holds its native lock, so a live owner keeps it.
class SettingsLock
{
public:
    // Writes what `settings` holds, past a lock its owner left behind.
    static void sync(QSettings& settings);
};
