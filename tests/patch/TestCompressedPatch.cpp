// Applying "HDIFF13" diffs through memory streams.

#include "patch/compressed_diff.h"
#include "patch/compressed_patch.h"
#include "patch/streams.h"

#include <QTest>

#include <vector>

namespace
{
// The smallest diff there is: magic, '&', an empty compress type and eleven zero varints.
const char kMinimalDiff[] = "HDIFF13&\0\0\0\0\0\0\0\0\0\0\0\0";
const int kMinimalDiffSize = 20;
} // namespace

class TestCompressedPatch : public QObject
{
    Q_OBJECT
private slots:
    void minimalDiffReadsAndApplies();
};

void TestCompressedPatch::minimalDiffReadsAndApplies()
{
    QCOMPARE(int(sizeof(kMinimalDiff)) - 1, kMinimalDiffSize);
    dpatch_TStreamInput diff;
    dpatch_memStreamInput_init(&diff, (const dpatch_byte*)kMinimalDiff, (const dpatch_byte*)kMinimalDiff + 20);
    dpatch_TCompressedDiffInfo info;
    _TCompressedDiffHead head;
    QVERIFY(_read_compressed_diff_head(&info, &head, &diff));
    QCOMPARE(QByteArray(info.compressType), QByteArray());
    QCOMPARE(info.compressedSectionCount, 0);
    QCOMPARE(head.headEndPos, dpatch_StreamPos_t(20));
    QCOMPARE(head.coverEndPos, dpatch_StreamPos_t(20));

    dpatch_TStreamInput oldData;
    dpatch_memStreamInput_init(&oldData, nullptr, nullptr);
    dpatch_TStreamOutput newData;
    dpatch_memStreamOutput_init(&newData, nullptr, nullptr);
    std::vector<dpatch_byte> cache(1 << 20);
    QVERIFY(patch_decompress_with_cache(&newData, &oldData, &diff, nullptr, cache.data(), cache.data() + cache.size()));
    QVERIFY(patch_decompress(&newData, &oldData, &diff, nullptr));
}

QTEST_GUILESS_MAIN(TestCompressedPatch)
#include "TestCompressedPatch.moc"
