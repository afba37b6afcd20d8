#ifndef QND_PUBLISH_PUBLISHER_H
#define QND_PUBLISH_PUBLISHER_H

// Writes the file-server tree that the updater downloads one version from:
//   <out>/<version>/<ini>            the product ini (kept for reading)
//   <out>/<version>/<ini>._lzma2_    the same, in the packed-file container
//   <out>/<version>/<ini>.sig        RSA-PSS (SHA-1, salt 8) over the ini
//   <out>/<version>/<section>/...    one download per file: plain, ".gz",
//                                    "._lzma2_" or a patch against the old file
// The ini starts with "version=<N>", outside every group. Every failure is
// reported as text.

// What callers use beside publish: the ini's name, the section check and
// the file helpers.
#include "publishfiles.h"
#include "publishoptions.h"
#include "publishrules.h"

// The whole run; false with a reason in *error. The tree is written to a
// staging directory beside outDir (inside it only when outDir is a mount
// point) and moved into place only once it is complete and signed, so a
// failure leaves no trace of the version; a run killed midway leaves its
// staging directory, which the next run removes.
bool publish(const PublishOptions& options, PublishReport* report, QString* error);

// Writes only the version reply (channels, versionText, versionsDir,
// allowOlder) for the version already published in outDir.
bool publishVersionsReply(const PublishOptions& options, PublishReport* report, QString* error);

#endif // QND_PUBLISH_PUBLISHER_H
