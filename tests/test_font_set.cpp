// The rules about font files themselves: which may be opened, and how a change to them is seen.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "FontManagerLinux.h"
#include "fontset/DescriptionMemo.h"
#include "fontset/FontSetMonitor.h"
#include "fontset/ListedFont.h"

namespace {

// Puts a path's times back to 2000-01-01, so that any change made after it shows in its stamp
// whatever the clock's granularity.
void ageTimes(const std::string& path) {
    const timespec old[2] = {{946684800, 0}, {946684800, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
}

// What the agent knows of these paths once it has listed and described them.
DescribedFiles describedFiles(const std::vector<std::string>& listed) {
    FontSetState state;
    state.paths = std::make_shared<const FontPathList>(listed.begin(), listed.end());
    for (const std::string& path : *state.paths) state.files.push_back(identityOf(path.c_str()));
    DescriptionMemo memo;
    return *memo.describe(state);
}

}  // namespace

// A listed path swapped for a FIFO must neither block the agent nor be served or described.
TEST(ListedFonts, AFifoNamedLikeAFontIsNeitherOpenedNorDescribed) {
    PrivateFontconfig scratch;
    const std::string fifo = scratch.fontDir + "/Pipe.ttf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    errno = 0;
    EXPECT_FALSE(openListedFont(describedFiles({fifo}), fifo));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(openFontFile(fifo));
    EXPECT_EQ(createTypeface(fifo), nullptr);
}

TEST(ListedFonts, OnlyListedPathsThatPassTheExtensionFilterOpen) {
    PrivateFontconfig scratch;
    const std::string font = scratch.install("static/ExampleSans-Regular.ttf");
    const std::string type1 = scratch.install("static/ExampleSans-Regular.ttf", "Same.pfb");
    const DescribedFiles both = describedFiles({font, type1});
    const std::optional<OpenFont> opened = openListedFont(both, font);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->status.st_size, static_cast<off_t>(readFile(font).size()));
    EXPECT_FALSE(openListedFont(both, type1));
    EXPECT_FALSE(openListedFont(describedFiles({type1}), font));
}

TEST(FileIdentities, OnlyTheChangeTimeMovingIsAChange) {
    PrivateFontconfig scratch;
    const std::string font = scratch.install("static/ExampleSans-Regular.ttf");
    ageTimes(font);  // also moves the change time to now
    const FileIdentity before = identityOf(font.c_str());
    waitPastFileTime(before.changed);
    ASSERT_EQ(chmod(font.c_str(), 0640), 0);  // moves nothing but the change time
    const FileIdentity after = identityOf(font.c_str());
    EXPECT_EQ(after.modified.tv_sec, before.modified.tv_sec);
    EXPECT_NE(after, before);
}

TEST(ChangeWatches, AChangeBeforeTheWatchTookHoldIsStillReported) {
    PrivateFontconfig scratch;
    ageTimes(scratch.fontDir);
    const std::vector<std::string> watched = {scratch.fontDir};
    const std::vector<FileStamp> listedWith = stampsOf(watched);
    scratch.install("static/ExampleSans-Regular.ttf");  // after the listing, before the watch

    ChangeWatch watch;
    watch.arm(watched, listedWith);
    EXPECT_TRUE(watch.mayHaveChanged());
    // Armed again with stamps that hold, nothing is reported, not even the watches replaced.
    watch.arm(watched, stampsOf(watched));
    EXPECT_FALSE(watch.mayHaveChanged());
    scratch.install("static/ExampleSans-Bold.ttf");
    EXPECT_TRUE(watch.mayHaveChanged());
    EXPECT_FALSE(watch.mayHaveChanged());
}
