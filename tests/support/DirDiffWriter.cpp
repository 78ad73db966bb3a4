#include "support/DirDiffWriter.h"

#include "support/PatchWriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>

namespace
{
struct TreeItem
{
    QByteArray content;
    bool isDir = false;
    bool executable = false;
};

// Relative paths in byte order, the root "" first and directories ending in '/'.
QMap<QByteArray, TreeItem> readTree(const QString& root)
{
    QMap<QByteArray, TreeItem> tree;
    if (root.isEmpty() || !QFileInfo(root).isDir())
        return tree;
    TreeItem rootItem;
    rootItem.isDir = true;
    tree.insert(QByteArray(), rootItem);
    const QDir rootDir(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QByteArray relative = rootDir.relativeFilePath(path).toUtf8();
        TreeItem item;
        if (info.isDir()) {
            item.isDir = true;
            relative += '/';
        } else {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                item.content = file.readAll();
            item.executable = info.permissions() & QFileDevice::ExeOwner;
        }
        tree.insert(relative, item);
    }
    return tree;
}

QByteArray joinedPaths(const QList<QByteArray>& paths)
{
    QByteArray out;
    for (const QByteArray& path : paths) {
        out += path;
        out += '\0';
    }
    return out;
}

quint64 pathSumSize(const QList<QByteArray>& paths)
{
    quint64 sum = 0;
    for (const QByteArray& path : paths)
        sum += quint64(path.size()) + 1;
    return sum;
}

void appendIncList(QByteArray& out, const QList<quint64>& values)
{
    quint64 next = 0;
    for (quint64 value : values) {
        out += PatchWriter::packUInt(value - next);
        next = value + 1;
    }
}

// Exact matches of at least minLength bytes, greedy from the front of the new data; neighbours that
// keep the same old-to-new distance across a short gap are joined into one cover, so the gap's
// differing bytes travel as difference bytes.
QList<PatchCover> findCovers(const QByteArray& oldData, const QByteArray& newData, int minLength)
{
    QList<PatchCover> covers;
    if (oldData.size() < minLength || newData.size() < minLength)
        return covers;
    // One old position per window hash; large old data is indexed every few bytes only (keeping the
    // index near two million entries), which still finds every match that much longer than minLength.
    const qsizetype step = oldData.size() > 256 * 1024 ? qMax<qsizetype>(8, oldData.size() >> 21) : 1;
    QHash<size_t, qsizetype> index;
    for (qsizetype i = 0; i + minLength <= oldData.size(); i += step)
        index.insert(qHash(QByteArrayView(oldData.constData() + i, minLength)), i);
    qsizetype pos = 0;
    while (pos + minLength <= newData.size()) {
        const auto found = index.constFind(qHash(QByteArrayView(newData.constData() + pos, minLength)));
        qsizetype bestOld = -1;
        qsizetype bestLength = 0;
        if (found != index.constEnd()) {
            const qsizetype oldPos = *found;
            qsizetype length = 0;
            while (oldPos + length < oldData.size() && pos + length < newData.size() &&
                   oldData[oldPos + length] == newData[pos + length])
                ++length;
            if (length >= minLength) {
                bestOld = oldPos;
                bestLength = length;
            }
        }
        if (bestOld < 0) {
            ++pos;
            continue;
        }
        PatchCover cover;
        cover.oldPos = quint64(bestOld);
        cover.newPos = quint64(pos);
        cover.length = quint64(bestLength);
        if (!covers.isEmpty()) {
            PatchCover& last = covers.last();
            const quint64 newGap = cover.newPos - (last.newPos + last.length);
            if (cover.oldPos >= last.oldPos + last.length && cover.oldPos - (last.oldPos + last.length) == newGap &&
                newGap <= 16) {
                last.length += newGap + cover.length;
                pos += bestLength;
                continue;
            }
        }
        covers.append(cover);
        pos += bestLength;
    }
    return covers;
}
} // namespace

QByteArray DirDiff::encodeDirData() const
{
    QByteArray out = joinedPaths(oldPaths) + joinedPaths(newPaths);
    appendIncList(out, oldRefList);
    appendIncList(out, newRefList);
    for (quint64 size : newRefSizeList)
        out += PatchWriter::packUInt(size);
    quint64 nextNew = 0;
    quint64 nextOld = 0;
    for (const auto& pair : samePairs) {
        out += PatchWriter::packUInt(pair.first - nextNew);
        nextNew = pair.first + 1;
        if (pair.second >= nextOld)
            out += PatchWriter::packUInt(pair.second - nextOld, 1, 0);
        else
            out += PatchWriter::packUInt(nextOld - pair.second, 1, 1);
        nextOld = pair.second + 1;
    }
    appendIncList(out, newExecuteList);
    out += privateReservedData;
    return out;
}

QByteArray DirDiff::storedDirData() const
{
    const QByteArray raw = dirDataOverride ? *dirDataOverride : encodeDirData();
    return compressDirData ? PatchWriter::zstdFrame(raw) : raw;
}

void DirDiff::updateHead()
{
    oldPathCount = quint64(oldPaths.size());
    oldPathSumSize = pathSumSize(oldPaths);
    newPathCount = quint64(newPaths.size());
    newPathSumSize = pathSumSize(newPaths);
    oldRefFileCount = quint64(oldRefList.size());
    oldRefSize = builtOldRefSize;
    newRefFileCount = quint64(newRefList.size());
    newRefSize = builtNewRefSize;
    sameFilePairCount = quint64(samePairs.size());
    sameFileSize = builtSameFileSize;
    newExecuteCount = quint64(newExecuteList.size());
    privateReservedDataSize = quint64(privateReservedData.size());
    privateExternDataSize = quint64(privateExternData.size());
    externDataSize = quint64(externData.size());
    const QByteArray raw = dirDataOverride ? *dirDataOverride : encodeDirData();
    headDataSize = quint64(raw.size());
    headDataCompressedSize = compressDirData ? quint64(PatchWriter::zstdFrame(raw).size()) : 0;
    checksumByteSize = quint64(checksums.size() / 4);
}

QByteArray DirDiff::toBytes() const
{
    QByteArray out = type + '&' + compressType + '&' + checksumType;
    out += '\0';
    for (quint64 value : {isOldPathDir, isNewPathDir, oldPathCount, oldPathSumSize, newPathCount, newPathSumSize,
                          oldRefFileCount, oldRefSize, newRefFileCount, newRefSize, sameFilePairCount, sameFileSize,
                          newExecuteCount, privateReservedDataSize, privateExternDataSize, externDataSize, headDataSize,
                          headDataCompressedSize, checksumByteSize})
        out += PatchWriter::packUInt(value);
    const qsizetype checksumPos = out.size();
    out += checksums;
    out += storedDirData();
    out += privateExternData;
    out += externData;
    out += cdiff;
    const qsizetype slotSize = qsizetype(checksumByteSize);
    if (checksum && slotSize > 0 && checksums.size() == 4 * slotSize) {
        const qsizetype slot = checksumPos + 3 * slotSize;
        const QByteArray own = checksum(out.left(slot) + out.mid(slot + slotSize));
        out.replace(slot, slotSize, own.left(slotSize));
    }
    return out;
}

bool DirDiff::save(const QString& path) const
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(toBytes()) >= 0 && file.flush();
}

DirDiff DirDiffWriter::build(const QString& oldRoot, const QString& newRoot, const Options& options)
{
    const QMap<QByteArray, TreeItem> oldTree = readTree(oldRoot);
    const QMap<QByteArray, TreeItem> newTree = readTree(newRoot);
    DirDiff diff;
    diff.isOldPathDir = options.oldIsDir ? 1 : 0;
    diff.isNewPathDir = options.newIsDir ? 1 : 0;
    diff.oldPaths = oldTree.keys();
    diff.newPaths = newTree.keys();

    QHash<QByteArray, quint64> oldIndexByContent;
    for (qsizetype i = 0; i < diff.oldPaths.size(); ++i) {
        const TreeItem& item = oldTree[diff.oldPaths[i]];
        if (!item.isDir && !item.content.isEmpty() && !oldIndexByContent.contains(item.content))
            oldIndexByContent.insert(item.content, quint64(i));
    }
    QList<bool> oldIsCopied(diff.oldPaths.size(), false);
    QByteArray newData;
    QByteArray copiedData;
    for (qsizetype i = 0; i < diff.newPaths.size(); ++i) {
        const QByteArray& path = diff.newPaths[i];
        const TreeItem& item = newTree[path];
        if (item.isDir)
            continue;
        if (item.executable)
            diff.newExecuteList.append(quint64(i));
        if (item.content.isEmpty())
            continue; // written as an empty file by the path walk
        const qsizetype samePath = diff.oldPaths.indexOf(path);
        quint64 oldIndex = 0;
        bool isCopy = false;
        if (samePath >= 0 && oldTree[path].content == item.content && !oldTree[path].isDir) {
            oldIndex = quint64(samePath);
            isCopy = true;
        } else if (oldIndexByContent.contains(item.content)) {
            oldIndex = oldIndexByContent.value(item.content);
            isCopy = true;
        }
        if (isCopy) {
            diff.samePairs.append({quint64(i), oldIndex});
            oldIsCopied[qsizetype(oldIndex)] = true;
            copiedData += item.content;
            diff.builtSameFileSize += quint64(item.content.size());
        } else {
            diff.newRefList.append(quint64(i));
            diff.newRefSizeList.append(quint64(item.content.size()));
            newData += item.content;
        }
    }
    QByteArray oldData;
    for (qsizetype i = 0; i < diff.oldPaths.size(); ++i) {
        const TreeItem& item = oldTree[diff.oldPaths[i]];
        if (item.isDir || item.content.isEmpty() || oldIsCopied[i])
            continue;
        diff.oldRefList.append(quint64(i));
        oldData += item.content;
    }
    diff.builtOldRefSize = quint64(oldData.size());
    diff.builtNewRefSize = quint64(newData.size());

    PatchCase patchCase;
    patchCase.oldData = oldData;
    patchCase.newData = newData;
    patchCase.covers = findCovers(oldData, newData, options.minMatchLength);
    diff.cdiff =
        PatchWriter::compressedDiff(patchCase, options.compressSections ? PatchWriter::kAllSectionsCompressed : 0)
            .bytes();

    diff.compressDirData = options.compressDirData;
    diff.compressType = options.compressType
                            ? *options.compressType
                            : QByteArray((options.compressDirData || options.compressSections) ? "zstd" : "");
    if (options.checksum) {
        diff.checksumType = options.checksumType;
        const QByteArray empty;
        const qsizetype size = options.checksum(empty).size();
        diff.checksums = options.checksum(oldData) + options.checksum(newData) + options.checksum(copiedData) +
                         QByteArray(size, '\0');
        diff.checksum = options.checksum;
    }
    diff.updateHead();
    return diff;
}
