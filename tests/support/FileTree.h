#pragma once
// Trees of files for tests: written from a table of entries and read back with contents and the
// owner-execute bit, so a test can compare a whole directory byte for byte in one QCOMPARE.
#include <QByteArray>
#include <QMap>
#include <QString>

class FileTree
{
public:
    struct Entry
    {
        QByteArray content;
        bool isDir = false;
        bool executable = false;
        bool operator==(const Entry& other) const = default;
    };
    // Relative path -> entry; directories end in '/'. The root itself is not listed.
    using Entries = QMap<QString, Entry>;

    static Entry file(const QByteArray& content, bool executable = false);
    static Entry dir();

    // Creates the entries below root (which is created too); parents are made as needed.
    static bool write(const QString& root, const Entries& entries);
    // Every file and directory below root; an absent root reads as no entries.
    static Entries read(const QString& root);
    // Open file descriptors of this process.
    static int openDescriptorCount();
    // Open descriptors of this process whose target lies below root.
    static int openDescriptorsBelow(const QString& root);
};

// Shows the differing entry when a tree comparison fails.
char* toString(const FileTree::Entry& entry);
