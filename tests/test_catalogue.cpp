// Enumeration building blocks and face ordering, without fontconfig's real listing.

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "fontset/DescriptionMemo.h"
#include "FontManagerLinux.h"
#include "VornFontAgent.h"

namespace {

TypefaceItem item(int weight, int slant, int width = 100) {
    TypefaceItem face;
    face.weight = weight;
    face.slant = slant;
    face.width = width;
    return face;
}

FcPattern* patternWithFile(const char* file) {
    FcPattern* pattern = FcPatternCreate();
    if (file != nullptr)
        FcPatternAddString(pattern, FC_FILE, reinterpret_cast<const FcChar8*>(file));
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("Any"));
    return pattern;
}

}  // namespace

TEST(ExtensionFilter, ExcludesType1AndCompressedBitmapsWhateverTheCase) {
    EXPECT_TRUE(canSupportFontFormat("/f/Name.ttf"));
    EXPECT_FALSE(canSupportFontFormat("/f/Name.PFB"));
    EXPECT_FALSE(canSupportFontFormat("/f/Name.pfb"));
    EXPECT_FALSE(canSupportFontFormat("/f/Name.pcf.gz"));
    EXPECT_FALSE(canSupportFontFormat("/f/Name.t1"));
    EXPECT_FALSE(canSupportFontFormat("/f/Name.T1"));
    EXPECT_TRUE(canSupportFontFormat("/f/Name.pfa"));
    EXPECT_TRUE(canSupportFontFormat("/f/Name."));
    EXPECT_TRUE(canSupportFontFormat("/etc/fonts.d/Name"));
    EXPECT_TRUE(canSupportFontFormat("/f/Namegz"));
    EXPECT_FALSE(canSupportFontFormat("gz"));  // no full stop: the whole path is the extension
    EXPECT_TRUE(canSupportFontFormat(""));
}

TEST(ResultSetFromFontSet, NullAndEmptySetsGiveEmptyCatalogues) {
    std::unique_ptr<ResultSet> fromNull(getResultSet(nullptr));
    ASSERT_NE(fromNull, nullptr);
    EXPECT_TRUE(fromNull->empty());

    FcFontSet* empty = FcFontSetCreate();
    std::unique_ptr<ResultSet> fromEmpty(getResultSet(empty));
    FcFontSetDestroy(empty);
    ASSERT_NE(fromEmpty, nullptr);
    EXPECT_TRUE(fromEmpty->empty());
}

TEST(ResultSetFromFontSet, PatternWithoutFileIsReportedOnceAndSkipped) {
    FcFontSet* fonts = FcFontSetCreate();
    FcFontSetAdd(fonts, patternWithFile("/nonexistent/b.ttf"));
    FcFontSetAdd(fonts, patternWithFile(nullptr));
    FcFontSetAdd(fonts, patternWithFile("/nonexistent/a.ttf"));
    FcFontSetAdd(fonts, patternWithFile("/nonexistent/a.ttf"));
    FcFontSetAdd(fonts, patternWithFile("/nonexistent/c.pcf.gz"));
    FontPathList paths;
    const std::string out = capturedStdout([&] { paths = collectFontPaths(fonts); });
    EXPECT_EQ(out, "createFontDescriptor call error.");
    EXPECT_EQ(paths, (FontPathList{"/nonexistent/a.ttf", "/nonexistent/b.ttf"}));

    std::unique_ptr<ResultSet> set;
    capturedStdout([&] { set.reset(getResultSet(fonts)); });
    EXPECT_TRUE(set->empty());  // files FreeType cannot open leave no trace
    FcFontSetDestroy(fonts);
}

TEST(ResultSetFromFontSet, PathsAreOrderedBytewise) {
    FcFontSet* fonts = FcFontSetCreate();
    for (const char* path : {"/f/b", "/f/\xC3\xA9", "/f/B", "/f/a", "/f/a.ttf"}) {
        FcFontSetAdd(fonts, patternWithFile(path));
    }
    const FontPathList paths = collectFontPaths(fonts);
    FcFontSetDestroy(fonts);
    EXPECT_EQ(std::vector<std::string>(paths.begin(), paths.end()),
              (std::vector<std::string>{"/f/B", "/f/a", "/f/a.ttf", "/f/b", "/f/\xC3\xA9"}));
}

TEST(FaceOrdering, ByWeightThenSlant) {
    ResultSet set;
    auto* family = new Typeface();
    family->childList = {item(200, 0), item(80, 100), item(80, 0),
                         item(100, 0), item(0, 0),    item(-1, 0)};
    set.push_back(family);
    set.push_back(new Typeface());  // a family without faces is left alone
    sortResultSet(&set);
    std::vector<std::pair<int, int>> order;
    for (const TypefaceItem& face : set[0]->childList) order.emplace_back(face.weight, face.slant);
    EXPECT_EQ(order, (std::vector<std::pair<int, int>>{
                         {-1, 0}, {0, 0}, {80, 0}, {80, 100}, {100, 0}, {200, 0}}));
    EXPECT_TRUE(set[1]->childList.empty());
}

TEST(FaceOrdering, FamiliesKeepTheirOrder) {
    ResultSet set;
    for (const char* name : {"Zeta", "Alpha", "Mid"}) {
        auto* family = new Typeface();
        family->family = name;
        family->childList = {item(200, 0), item(80, 0)};
        set.push_back(family);
    }
    sortResultSet(&set);
    EXPECT_EQ(set[0]->family, "Zeta");
    EXPECT_EQ(set[1]->family, "Alpha");
    EXPECT_EQ(set[2]->family, "Mid");
    EXPECT_EQ(set[2]->childList[0].weight, 80);
}

// --- Remembered descriptions -------------------------------------------------------------------

namespace {

std::string documentOf(std::unique_ptr<ResultSet> set) {
    int code = 0;
    return VornFontAgent::convertToJson(set.get(), code);
}

// Every path described afresh, nothing remembered.
std::string freshDocumentOf(const FontPathList& paths) {
    std::vector<const std::string*> pointers;
    for (const std::string& path : paths) pointers.push_back(&path);
    std::vector<Description> descriptions;
    for (DescribedFont& font : describeFontFiles(pointers)) descriptions.push_back(font.description);
    return documentOf(std::unique_ptr<ResultSet>(groupFamilies(descriptions)));
}

FontSetState stateOf(const std::vector<std::string>& fixtures) {
    FontSetState state;
    auto paths = std::make_shared<FontPathList>();
    for (const std::string& fixture : fixtures) paths->insert(fixturePath(fixture));
    for (const std::string& path : *paths) state.files.push_back(identityOf(path.c_str()));
    state.paths = std::move(paths);
    return state;
}

std::unique_ptr<ResultSet> catalogueOf(DescriptionMemo& memo, const FontSetState& state) {
    return familiesOf(state, *memo.describe(state));
}

const std::vector<std::string> kMemoFixtures = {
    "static/ExampleSans-Regular.ttf", "static/ExampleSans-Bold.ttf", "collection/ExampleTrio.ttc",
    "variable/ExampleVar.ttf",        "variable/ExampleSlant.ttf",   "bad/NotAFont.ttf",
    "noos2/ExampleNoOS2.ttf"};

}  // namespace

TEST(RememberedDescriptions, GiveTheSameDocumentAsAFreshDescription) {
    DescriptionMemo memo;
    const FontSetState state = stateOf(kMemoFixtures);
    const std::string fresh = freshDocumentOf(*state.paths);
    EXPECT_EQ(documentOf(catalogueOf(memo, state)), fresh);  // cold
    EXPECT_EQ(documentOf(catalogueOf(memo, state)), fresh);  // warm
    EXPECT_EQ(memo.size(), kMemoFixtures.size());
}

TEST(RememberedDescriptions, AFileRewrittenInPlaceIsDescribedAgain) {
    PrivateFontconfig scratch;  // only its folder is used
    const std::string path = scratch.install("static/ExampleSans-Regular.ttf", "Font.ttf");
    const auto paths = std::make_shared<FontPathList>(FontPathList{path});
    const auto stateNow = [&] { return FontSetState{paths, {identityOf(path.c_str())}}; };

    DescriptionMemo memo;
    const FontSetState before = stateNow();
    EXPECT_NE(documentOf(catalogueOf(memo, before)).find("Example Sans"), std::string::npos);

    // Same inode, same size, and the modification time put back: only the change time tells.
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    waitPastFileTime(st.st_ctim);
    std::string renamed = readFile(path);
    for (const std::string& from : {std::string("Sans"), std::string("\0S\0a\0n\0s", 8)}) {
        std::string to = from;
        to.back() = 'z';
        for (size_t at = renamed.find(from); at != std::string::npos; at = renamed.find(from, at))
            renamed.replace(at, from.size(), to);
    }
    writeFile(path, renamed);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

    const FontSetState after = stateNow();
    EXPECT_FALSE(after == before);
    const std::string document = documentOf(catalogueOf(memo, after));
    EXPECT_NE(document.find("Example Sanz"), std::string::npos);
    EXPECT_EQ(document, freshDocumentOf(*paths));
}

TEST(RememberedDescriptions, FilesNoLongerListedAreForgotten) {
    DescriptionMemo memo;
    documentOf(catalogueOf(memo, stateOf(kMemoFixtures)));
    EXPECT_EQ(memo.size(), kMemoFixtures.size());
    const std::unique_ptr<ResultSet> fewer = catalogueOf(memo, stateOf({"variable/ExampleVar.ttf"}));
    EXPECT_EQ(memo.size(), 1u);
    ASSERT_EQ(fewer->size(), 1u);
    EXPECT_EQ((*fewer)[0]->family, "Example Var");
}
