#ifndef UNFINISHEDSESSION_H
#define UNFINISHEDSESSION_H

// Start-up: undoes the changes of a client session that ended without
// finishing (a crash, a kill, a power cut) in the application directory and
// in the install directory of the session record, and removes what that
// session left: its journal, kept files, part files and temp directory.
void recoverUnfinishedSession();

#endif // UNFINISHEDSESSION_H
