#pragma once

// The daemon's log: standard error, where under systemd a stream into the journal may read a
// "<N>" at the start of a line as the line's syslog priority.

// True when standard error is the journal's stream: $JOURNAL_STREAM names its device and inode.
bool standardErrorIsJournal();

// The syslog priority of a log level: 2 (failures) is an error, 3 a notice, 4 information,
// finer traces debug; below 2, critical.
int syslogPriority(int level);

// From now on, log lines go to standard error, with their priority in front for the journal
// (which stamps each line itself), else with their time; each as RegistryHost::boundLogLine
// lets it.
void logToStandardError(bool journal);
