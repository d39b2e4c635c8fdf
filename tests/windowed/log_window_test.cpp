// The log window's trimming, and the queue that brings texts to it.
#include <gtest/gtest.h>

#include <QString>

#include "windowed/log_queue.h"
#include "windowed/log_window.h"

namespace qv {
namespace {

TEST(LogWindow, TheLineAfter250TrimsToTheLast200) {
    LogWindow log;
    for (int i = 1; i <= 250; ++i) log.append("line " + std::to_string(i) + "\r\n");
    // 250 lines of text and the empty line after the last line end.
    EXPECT_EQ(log.lineCount(), 251);
    EXPECT_TRUE(log.text().startsWith("line 1\n"));
    log.append("line 251\r\n");
    // Before the new text went in, the last 200 lines were kept: lines 52
    // to 250 and the empty one, which the new text filled.
    EXPECT_EQ(log.lineCount(), 201);
    EXPECT_TRUE(log.text().startsWith("line 52\n")) << log.text().left(40).toStdString();
    EXPECT_TRUE(log.text().endsWith("line 250\nline 251\n"));
}

TEST(LogWindow, TextsAreJoinedAsTheyCame) {
    LogWindow log;
    log.append("Connection from ");
    log.append("127.0.0.1\r\nnext\rline\n");
    EXPECT_EQ(log.text(), "Connection from 127.0.0.1\nnext\nline\n");
    log.clear();
    EXPECT_EQ(log.text(), "");
}

TEST(LogQueue, AFullQueueDropsAndCounts) {
    LogQueue queue(3);
    EXPECT_TRUE(queue.push("a"));  // the first text asks for a take
    EXPECT_FALSE(queue.push("b"));
    EXPECT_FALSE(queue.push("c"));
    EXPECT_FALSE(queue.push("d"));
    EXPECT_FALSE(queue.push("e"));
    LogQueue::Batch batch = queue.take(2);
    EXPECT_EQ(batch.texts, (std::vector<std::string> {"a", "b"}));
    EXPECT_EQ(batch.dropped, 2u);
    EXPECT_TRUE(batch.more);
    batch = queue.take(10);
    EXPECT_EQ(batch.texts, (std::vector<std::string> {"c"}));
    EXPECT_EQ(batch.dropped, 0u);
    EXPECT_FALSE(batch.more);
    EXPECT_TRUE(queue.push("f"));
}

}  // namespace
}  // namespace qv
