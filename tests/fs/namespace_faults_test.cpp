// Renames and moves that the phone refuses or abandons half way: whatever step fails, the
// replaced file keeps its content and gets its name back, the moved file is where it was, and
// the caches describe the phone. When the phone goes away in the middle, nothing is lost: the
// files stay under their temporary names, and the caches show them there.

#include <gmock/gmock.h>

#include "tests/fs/VolumeFixture.h"

using namespace kestrumtest;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

namespace {

std::string temporaryName(uint64_t id) {
    return ".kestrum-" + std::to_string(id - objectIDBase) + ".tmp";
}

class RenameFaultTest : public VolumeTest {
  protected:
    // Inbox/a.txt, Inbox/b.txt and Docs/b.txt, all listed.
    void SetUp() override {
        for (const auto& [path, content] : untouched())
            if (content) phone().addFile(storage(), path, *content);
        mount(true);
        inbox = lookup(rootID, "Inbox")->id;
        docs = lookup(rootID, "Docs")->id;
        a = lookup(inbox, "a.txt")->id;
        inboxB = lookup(inbox, "b.txt")->id;
        docsB = lookup(docs, "b.txt")->id;
        phone().resetStats();
    }
    PhoneModel untouched() {
        return {{"Inbox", folder},
                {"Docs", folder},
                {"Inbox/a.txt", pattern(100, 1)},
                {"Inbox/b.txt", pattern(200, 2)},
                {"Docs/b.txt", pattern(300, 3)}};
    }
    // The phone after a.txt went to path.
    PhoneModel moved(const std::string& path) {
        PhoneModel model = untouched();
        model.erase("Inbox/a.txt");
        model[path] = pattern(100, 1);
        return model;
    }
    // The caches as the phone was before.
    void expectCachesUntouched() {
        EXPECT_THAT(names(inbox), UnorderedElementsAre("a.txt", "b.txt"));
        EXPECT_THAT(names(docs), ElementsAre("b.txt"));
        EXPECT_EQ(lookup(inbox, "a.txt")->id, a);
        EXPECT_EQ(lookup(inbox, "b.txt")->id, inboxB);
        EXPECT_EQ(lookup(docs, "b.txt")->id, docsB);
        EXPECT_EQ(readAll(docsB), pattern(300, 3));
    }

    uint64_t inbox = 0, docs = 0, a = 0, inboxB = 0, docsB = 0;
};

// A rename over a file, failing at each of its phone steps in turn. In one folder: the replaced
// file's temporary name, the item's new name. Into another: the item's temporary name,
// MoveObject, the replaced file's temporary name, the item's final name.
struct FailingStep {
    Op op;
    int skip;
    bool acrossFolders;
};
class ReplaceFaultTest : public RenameFaultTest,
                         public ::testing::WithParamInterface<FailingStep> {};

TEST_P(ReplaceFaultTest, EverythingIsRestoredAndTheRenameLaterSucceeds) {
    const auto [op, skip, acrossFolders] = GetParam();
    const uint64_t destination = acrossFolders ? docs : inbox;
    refuse(op, Response::AccessDenied, skip);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(inbox, "a.txt", destination, "b.txt", 0); }),
              EACCES);
    EXPECT_THAT(log_.at(LogLevel::error), Contains(HasSubstr("rename a.txt: ")));
    EXPECT_EQ(count(Op::DeleteObject), 0u);
    expectCachesUntouched();
    expectPhoneHolds(untouched());

    phone().updateFaults([](phonesim::Faults& f) { f.fail = {}; });
    q([&] { volume().renameEntry(inbox, "a.txt", destination, "b.txt", 0); });
    EXPECT_EQ(lookup(destination, "b.txt")->id, a);
    expectPhoneHolds(moved(acrossFolders ? "Docs/b.txt" : "Inbox/b.txt"));
}

INSTANTIATE_TEST_SUITE_P(EachStep, ReplaceFaultTest,
                         ::testing::Values(FailingStep{Op::SetObjectPropValue, 0, false},
                                           FailingStep{Op::SetObjectPropValue, 1, false},
                                           FailingStep{Op::SetObjectPropValue, 0, true},
                                           FailingStep{Op::MoveObject, 0, true},
                                           FailingStep{Op::SetObjectPropValue, 1, true},
                                           FailingStep{Op::SetObjectPropValue, 2, true}));

// A phone that cannot move gives EXDEV and the old name; one that cannot delete the replaced file
// leaves it aside.
TEST_F(RenameFaultTest, APhoneThatCannotMoveOrDeleteLosesNothing) {
    refuse(Op::MoveObject, Response::OperationNotSupported);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(inbox, "a.txt", docs, "c.txt", 0); }), EXDEV);
    EXPECT_EQ(count(Op::SetObjectPropValue), 2u) << "the temporary name, then the old one back";
    expectCachesUntouched();
    expectPhoneHolds(untouched());

    // Same name: nothing to restore.
    refuse(Op::MoveObject, Response::OperationNotSupported);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(inbox, "a.txt", docs, "a.txt", 0); }), EXDEV);
    // A rename refused as unsupported is EXDEV too: the caller copies instead.
    refuse(Op::SetObjectPropValue, Response::OperationNotSupported);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(inbox, "a.txt", inbox, "z.txt", 0); }), EXDEV);
    expectCachesUntouched();
    expectPhoneHolds(untouched());

    refuse(Op::DeleteObject, Response::GeneralError);
    q([&] { volume().renameEntry(inbox, "a.txt", docs, "b.txt", 0); });
    EXPECT_THAT(log_.at(LogLevel::error), Contains("could not delete b.txt after replacing it"));
    EXPECT_EQ(lookup(docs, "b.txt")->id, a);

    PhoneModel model = moved("Docs/b.txt");
    model["Docs/" + temporaryName(docsB)] = pattern(300, 3);
    expectPhoneHolds(model);
}

TEST_F(RenameFaultTest, APhoneGoneHalfWayLeavesBothFilesUnderTemporaryNames) {
    // Unplugged as a.txt is to take its final name: the replaced file is aside, a.txt has
    // arrived under its temporary name, and no undo can reach the phone any more.
    unplugAt(Op::SetObjectPropValue, 2);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(inbox, "a.txt", docs, "b.txt", 0); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::error), Contains(HasSubstr("could not restore b.txt: ")));

    // The caches say what the phone holds, so the user can find both.
    const std::string itemTemp = temporaryName(a), asideTemp = temporaryName(docsB);
    EXPECT_THAT(names(inbox), ElementsAre("b.txt"));
    EXPECT_THAT(names(docs), UnorderedElementsAre(asideTemp, itemTemp));
    EXPECT_EQ(lookup(docs, asideTemp)->id, docsB);
    EXPECT_EQ(lookup(docs, itemTemp)->id, a);

    PhoneModel model = moved("Docs/" + itemTemp);
    model.erase("Docs/b.txt");
    model["Docs/" + asideTemp] = pattern(300, 3);
    expectPhoneHolds(model);
}

TEST_F(RenameFaultTest, APhoneGoneBeforeTheMoveLeavesTheDestinationAlone) {
    unplugAt(Op::MoveObject);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(inbox, "a.txt", docs, "b.txt", 0); }), EIO);
    const std::string itemTemp = temporaryName(a);
    EXPECT_THAT(names(inbox), UnorderedElementsAre(itemTemp, "b.txt"));
    EXPECT_THAT(names(docs), ElementsAre("b.txt"));

    expectPhoneHolds(moved("Inbox/" + itemTemp));
}

// Nor does a rename of a file whose commit fails replace anything.
TEST_F(RenameFaultTest, ARemoveCreateOrCommitThePhoneRefusesChangesNothing) {
    refuse(Op::DeleteObject, Response::ObjectWriteProtected);
    EXPECT_EQ(errorOf([&] { volume().unlink(inbox, "a.txt"); }), EACCES);
    EXPECT_THAT(log_.at(LogLevel::error), Contains(HasSubstr("remove a.txt: ")));
    refuse(Op::SendObjectInfo, Response::StoreFull);
    EXPECT_EQ(errorOf([&] { volume().create(inbox, "new.txt", ItemType::file); }), ENOSPC);
    refuse(Op::SendObject, Response::GeneralError);
    EXPECT_EQ(errorOf([&] { volume().create(inbox, "new.txt", ItemType::file); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::error), Contains(HasSubstr("create new.txt: ")));
    expectCachesUntouched();
    expectPhoneHolds(untouched());

    writeAll(a, pattern(50, 9), 100);
    refuse(Op::EndEditObject, Response::GeneralError);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(inbox, "a.txt", docs, "b.txt", 0); }), EIO);
    EXPECT_EQ(count(Op::SetObjectPropValue), 0u);
    EXPECT_EQ(count(Op::MoveObject), 0u);
    EXPECT_THAT(names(docs), ElementsAre("b.txt"));
    EXPECT_EQ(readAll(docsB), pattern(300, 3));
}

}  // namespace
