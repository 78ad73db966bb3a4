#pragma once
// Test-only writer of "HDIFF19" directory diffs, built from an old and a new tree on disk.
//
// DirDiffWriter::build() walks both trees and fills a DirDiff: the path lists (root first, directories
// with a trailing '/', byte order, so every directory precedes what it holds), same-file pairs for new
// files whose bytes equal an old file's, new reference files for the other non-empty new files, the
// execute list (new files with the owner-execute bit) and an embedded "HDIFF13" diff from the old
// reference files laid end to end to the new ones, with covers found by matching the data, also
// across file borders. Every field of the DirDiff may then be changed for negative tests;
// updateHead() recomputes the head numbers from the lists, and toBytes() writes exactly what the
// fields say, so a test can break any number, path, list or section on purpose.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <functional>
#include <optional>

struct DirDiff
{
    QByteArray type = "HDIFF19";
    QByteArray compressType;
    QByteArray checksumType;

    QList<QByteArray> oldPaths;
    QList<QByteArray> newPaths;
    QList<quint64> oldRefList;
    QList<quint64> newRefList;
    QList<quint64> newRefSizeList;
    QList<QPair<quint64, quint64>> samePairs; // (newIndex, oldIndex)
    QList<quint64> newExecuteList;
    QByteArray privateReservedData;
    QByteArray privateExternData;
    QByteArray externData;
    QByteArray cdiff; // the embedded "HDIFF13" diff

    // Head numbers, in stored order; updateHead() fills them from the lists above.
    quint64 isOldPathDir = 1;
    quint64 isNewPathDir = 1;
    quint64 oldPathCount = 0;
    quint64 oldPathSumSize = 0;
    quint64 newPathCount = 0;
    quint64 newPathSumSize = 0;
    quint64 oldRefFileCount = 0;
    quint64 oldRefSize = 0;
    quint64 newRefFileCount = 0;
    quint64 newRefSize = 0;
    quint64 sameFilePairCount = 0;
    quint64 sameFileSize = 0;
    quint64 newExecuteCount = 0;
    quint64 privateReservedDataSize = 0;
    quint64 privateExternDataSize = 0;
    quint64 externDataSize = 0;
    quint64 headDataSize = 0;
    quint64 headDataCompressedSize = 0;
    quint64 checksumByteSize = 0;

    bool compressDirData = false;
    // Replaces the encoded directory data (before compression) when set.
    std::optional<QByteArray> dirDataOverride;
    // The four stored checksums; with checksum set, toBytes() computes the diff's own (the fourth)
    // over the written bytes.
    QByteArray checksums;
    std::function<QByteArray(const QByteArray&)> checksum;

    // Sizes the build saw, for updateHead(): old reference data, new reference data, copied files.
    quint64 builtOldRefSize = 0;
    quint64 builtNewRefSize = 0;
    quint64 builtSameFileSize = 0;

    QByteArray encodeDirData() const;
    QByteArray storedDirData() const;
    void updateHead();
    QByteArray toBytes() const;
    bool save(const QString& path) const;
};

class DirDiffWriter
{
public:
    struct Options
    {
        bool compressDirData = false;
        bool compressSections = false;
        // Written as the directory diff's compress type; null: "zstd" when anything is compressed.
        std::optional<QByteArray> compressType;
        bool oldIsDir = true;
        bool newIsDir = true;
        // Stores checksums of this type; the function gives one checksum of a byte string.
        QByteArray checksumType;
        std::function<QByteArray(const QByteArray&)> checksum;
        int minMatchLength = 12;
    };

    // The diff from oldRoot to newRoot; an empty or missing oldRoot is an empty old tree.
    static DirDiff build(const QString& oldRoot, const QString& newRoot, const Options& options);
    static DirDiff build(const QString& oldRoot, const QString& newRoot) { return build(oldRoot, newRoot, Options()); }
};
