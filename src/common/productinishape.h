#ifndef PRODUCTINISHAPE_H
#define PRODUCTINISHAPE_H

#include <QStringList>

class QSettings;

// The lines of a product ini that cannot all hold in one tree, each problem
// naming both lines: two lines that install the same name, one whose
// installed name is a folder of another's, a name listed twice in
// "executables", and a deletion of a file the new tree installs. A publisher working from a tree never writes
// such an ini; an updater that read one would replace a file by a folder, or
// give a file the bits of whichever item came last.
//
// Only lines of a shape the reader takes are compared (a file line of 2 or 5
// parts); what a single line gets wrong is the reader's to refuse. Reads ini
// at its top level and leaves it there.
QStringList productIniShapeProblems(QSettings& ini);

// The names a product ini's lines touch in the installation, in the ini's
// order: what its file lines install (of a shape the reader takes) and what
// its deletion lines remove, both cleaned and contained below the
// installation (the reader refuses the others itself). Reads ini at its top
// level and leaves it there.
struct ProductIniNames
{
    QStringList installed;
    QStringList deleted;
};
ProductIniNames productIniNames(QSettings& ini);

#endif // PRODUCTINISHAPE_H
