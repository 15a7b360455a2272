#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include <string>
#include <vector>

#include "TempRoot.h"
#include "config/CdrSpool.h"

namespace {

// Records arrive now: closing the spool commits with the real clock, and the
// age limit must not take them.
const long long kNow = static_cast<long long>(std::time(nullptr));

RcCDR Record(int n) {
    RcCDR cdr;
    cdr.callGuid = "guid-" + std::to_string(n);
    cdr.callingUser = "201";
    cdr.calledUser = "300";
    cdr.details = std::string(100, 'd');
    return cdr;
}

// Appends records `first`..`last` in one commit; true when all were spooled.
bool Add(CdrSpool& spool, int first, int last, long long now = kNow) {
    for (int n = first; n <= last; ++n) {
        spool.Append(1, Record(n), nullptr, now);
    }
    size_t committed = 0;
    return spool.Flush(now, &committed).empty() &&
           committed == static_cast<size_t>(last - first + 1);
}

std::vector<std::string> Guids(const std::vector<SpooledCdr>& records) {
    std::vector<std::string> guids;
    for (const SpooledCdr& r : records) {
        guids.push_back(r.cdr.callGuid);
    }
    return guids;
}

}  // namespace

TEST(CdrSpool, RetentionDropsTheOldestCountsThemAndStaysWithinItsBytes) {
    TempRoot root;
    CdrSpool spool;
    CdrSpoolLimits limits;
    limits.maxRecords = 100;
    limits.maxBytes = 0;
    ASSERT_TRUE(spool.Open(root / "cdr.db", limits));
    const unsigned long long consumer = spool.OpenConsumer("billing", 1);
    ASSERT_TRUE(Add(spool, 1, 60));
    std::vector<unsigned long long> first10;
    for (unsigned long long seq = consumer; seq <= 10; ++seq) {
        first10.push_back(seq);  // acknowledged: not counted when removed
    }
    spool.Ack("billing", 1, first10);
    ASSERT_TRUE(Add(spool, 61, 130));
    EXPECT_EQ(spool.Depth(), 100u);
    EXPECT_EQ(spool.DroppedCount(), 20u);  // 30 removed, 10 of them acknowledged
    EXPECT_EQ(spool.Range(0, 1)[0].cdr.callGuid, "guid-31");
    EXPECT_EQ(spool.LastSeq(), 130u);

    // The byte limit: whatever the count, the payload stays under it.
    const unsigned long long perRecord = spool.RetainedBytes() / spool.Depth();
    limits.maxRecords = 0;
    limits.maxBytes = static_cast<long long>(perRecord * 25 + perRecord / 2);
    spool.SetLimits(limits);
    ASSERT_TRUE(Add(spool, 131, 2130));
    EXPECT_LE(spool.RetainedBytes(), static_cast<unsigned long long>(limits.maxBytes));
    EXPECT_EQ(spool.Depth(), 25u);
    EXPECT_EQ(spool.Range(0, 1)[0].cdr.callGuid, "guid-2106");
    EXPECT_EQ(spool.DroppedCount(), 20u + 2000u + 75u);
    // The age limit.
    limits.maxBytes = 0;
    limits.maxAgeSeconds = 3600;
    spool.SetLimits(limits);
    ASSERT_TRUE(Add(spool, 3000, 3000, kNow + 7200));
    EXPECT_EQ(Guids(spool.Range(0, 10)), std::vector<std::string>{"guid-3000"});
    EXPECT_EQ(spool.OldestAge(kNow + 7210), 10);
}

TEST(CdrSpool, ConsumersResumeAfterReopenAndNewcomersTakeWhatNobodyAcknowledged) {
    TempRoot root;
    const std::string path = root / "var/spool/valtd/cdr.db";
    {
        CdrSpool spool;
        ASSERT_TRUE(spool.Open(path, CdrSpoolLimits{}));
        ASSERT_TRUE(Add(spool, 1, 6));
        const unsigned long long from = spool.OpenConsumer("a", 7);
        EXPECT_EQ(Guids(spool.Next("a", 7, from, 2)),
                  (std::vector<std::string>{"guid-1", "guid-2"}));
        spool.Ack("a", 7, {1, 2, 4});  // 4 out of order
        spool.FlushAcks();
        EXPECT_EQ(spool.AckedCount(), 3u);
    }
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    CdrSpool spool;
    ASSERT_TRUE(spool.Open(path, CdrSpoolLimits{}));
    const unsigned long long from = spool.OpenConsumer("a", 7);
    EXPECT_EQ(from, 3u);
    EXPECT_EQ(Guids(spool.Next("a", 7, from, 10)),
              (std::vector<std::string>{"guid-3", "guid-5", "guid-6"}));
    // The same ID under another account is another consumer: it starts with
    // what nobody acknowledged (3, 5, 6) and what comes after.
    ASSERT_TRUE(Add(spool, 7, 7));
    const unsigned long long other = spool.OpenConsumer("b", 7);
    EXPECT_EQ(Guids(spool.Next("b", 7, other, 10)),
              (std::vector<std::string>{"guid-3", "guid-5", "guid-6", "guid-7"}));
    // Numbers are never used again, even once every record is gone.
    CdrSpoolLimits one;
    one.maxRecords = 1;
    spool.SetLimits(one);
    ASSERT_TRUE(Add(spool, 8, 8));
    EXPECT_EQ(spool.Range(0, 5)[0].seq, 8u);
}

TEST(CdrSpool, AnUnusableFileHandsRecordsBackForLiveDelivery) {
    TempRoot root;
    for (const char* content : {"", "this is not a database, only text that looks long enough"}) {
        const std::string path = root / "cdr.db";
        ::mkdir(path.c_str(), 0700);  // a directory where the file should be
        if (*content != '\0') {
            ::rmdir(path.c_str());
            WriteFile(path, std::string(content) + std::string(4096, 'x'));
        }
        CdrSpool spool;
        EXPECT_FALSE(spool.Open(path, CdrSpoolLimits{}));
        EXPECT_TRUE(spool.Enabled());
        EXPECT_FALSE(spool.Healthy());
        EXPECT_NE(spool.LastError(), "");
        spool.Append(2, Record(1), nullptr, kNow);
        const std::vector<SpooledCdr> live = spool.Flush(kNow);
        ASSERT_EQ(live.size(), 1u);
        EXPECT_EQ(live[0].seq, 0u);
        EXPECT_EQ(live[0].kind, 2);
        EXPECT_TRUE(spool.Next("a", 1, 0, 5).empty());
        std::filesystem::remove_all(path);
    }
}
