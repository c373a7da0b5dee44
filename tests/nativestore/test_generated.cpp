// Stores written by the project's PST writer, read back through the automation surface.
#include "generatedstore.h"

#include "faultyreader.h"
#include "wholemessage.h"
#include <conversionrun.h>
#include <failure.h>

#include <damagetext.h>
#include <nativestore.h>
#include <session.h>

#include <recorders.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <malloc.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define TALVENOR_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALVENOR_UNDER_ASAN 1
#endif
#endif
#if TALVENOR_UNDER_ASAN
// The sanitizer runtime's count of bytes in live allocations (not every compiler ships the
// header that declares it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace talvenor;
using namespace talvenor::nativestore;
using talvenor::testing::ExpectedFolder;

namespace {

struct Attached {
    std::unique_ptr<automation::Application> application;
    std::unique_ptr<automation::Namespace> ns;
    std::unique_ptr<automation::Folder> root;
};

Attached attach(NativeApplicationFactory& factory, const QString& path) {
    Attached a;
    a.application = factory.create(automation::ApplicationClass);
    a.ns = a.application->getNamespace(automation::MapiNamespace);
    a.ns->addStore(QLatin1Char('"') + path + QLatin1Char('"'));
    a.root = a.ns->lastFolder();
    return a;
}

ExpectedFolder readTree(automation::Folder& folder) {
    ExpectedFolder seen{folder.name(), {}, {}};
    auto items = folder.items();
    const int count = items->count();
    for (int j = 1; j <= count; ++j)
        seen.items.push_back({items->item(j)->itemClass(), items->item(j)->subject()});
    const int folders = folder.folderCount();
    for (int i = 1; i <= folders; ++i)
        seen.folders.push_back(readTree(*folder.folder(i)));
    return seen;
}

void expectSameTree(const ExpectedFolder& seen, const ExpectedFolder& expected) {
    SCOPED_TRACE(expected.name.toStdString());
    EXPECT_EQ(seen.name, expected.name);
    ASSERT_EQ(seen.items.size(), expected.items.size());
    for (std::size_t j = 0; j < expected.items.size(); ++j) {
        EXPECT_EQ(seen.items[j].itemClass, expected.items[j].itemClass) << "item " << j + 1;
        EXPECT_EQ(seen.items[j].subject, expected.items[j].subject) << "item " << j + 1;
    }
    ASSERT_EQ(seen.folders.size(), expected.folders.size());
    for (std::size_t i = 0; i < expected.folders.size(); ++i)
        expectSameTree(seen.folders[i], expected.folders[i]);
}

struct FormatCase {
    pstwriter::Format format;
    std::uint32_t codePage;
    const char* label;
};

class GeneratedTree : public ::testing::TestWithParam<FormatCase> {
protected:
    QTemporaryDir dir;
};

TEST_P(GeneratedTree, SurfaceShowsTheWrittenFoldersItemsClassesAndSubjectsInOrder) {
    const QString path = dir.filePath(QStringLiteral("tree store.pst"));
    const ExpectedFolder expected = talvenor::testing::writeTreeStore(
        path.toStdString(), GetParam().format, GetParam().codePage);
    NativeApplicationFactory factory;
    Attached a = attach(factory, path);
    // Only the IPM subtree shows: no search root, no spam search folder, no views folder.
    expectSameTree(readTree(*a.root), expected);
    a.ns->removeStore(*a.root);
    EXPECT_THROW(a.root->folderCount(), Failure); // the store is closed now
}

// Converts the store the whole way with a recording message writer: every mail item is saved
// once, under the name its subject gives (an equal name takes a number after it).
void expectMailSavedUnderItsSubject(const QString& path, const ExpectedFolder& expected,
                                    const QString& outDir) {
    const QStringList names = talvenor::testing::mailFileNames(expected);
    QStringList saved;
    StoreOptions options;
    options.writer = [&](const mapi::Message&, const QString& target) {
        saved << QFileInfo(target).completeBaseName();
    };
    QDir().mkpath(outDir);
    NativeApplicationFactory factory(options);
    talvenor::testing::RecordingMessageBox messages;
    talvenor::testing::CountingEventLoop events;
    talvenor::testing::RecordingPointer pointer;
    ConversionSession(factory, messages, events, pointer)
        .PST2MSG(path, outDir + QStringLiteral("/x.msg"));
    EXPECT_TRUE(messages.shown.isEmpty()) << messages.texts().join('|').toStdString();
    ASSERT_EQ(saved.size(), names.size()) << saved.join('|').toStdString();
    for (const QString& name : names) {
        if (name.isEmpty())
            continue; // saved under the fallback name
        const auto it = std::find_if(saved.begin(), saved.end(),
                                     [&](const QString& s) { return s.startsWith(name); });
        ASSERT_NE(it, saved.end()) << name.toStdString() << " in " << saved.join('|').toStdString();
        saved.erase(it);
    }
}

TEST_P(GeneratedTree, ConversionSavesEveryMailUnderItsSubject) {
    const QString path = dir.filePath(QStringLiteral("tree store.pst"));
    const ExpectedFolder expected = talvenor::testing::writeTreeStore(
        path.toStdString(), GetParam().format, GetParam().codePage);
    expectMailSavedUnderItsSubject(path, expected, dir.filePath(QStringLiteral("out")));
}

INSTANTIATE_TEST_SUITE_P(Formats, GeneratedTree,
                         ::testing::Values(FormatCase{pstwriter::Format::Unicode, 1252, "unicode"},
                                           FormatCase{pstwriter::Format::Ansi, 1252, "ansi1252"},
                                           FormatCase{pstwriter::Format::Ansi, 1251, "ansi1251"},
                                           FormatCase{pstwriter::Format::Ansi, 1250, "ansi1250"},
                                           FormatCase{pstwriter::Format::Ansi, 932, "ansi932"},
                                           FormatCase{pstwriter::Format::Ost4k, 1252, "ost4k"}),
                         [](const auto& info) { return std::string(info.param.label); });

// Message strings of the type the format does not use for them, and 8-bit ones in other code
// pages: classes in other cases and subjects with and without the prefix marker still read
// and convert the whole way.
} // namespace

namespace talvenor::testing {
void PrintTo(const StringCase& c, std::ostream* os) {
    *os << c.label;
}
} // namespace talvenor::testing

namespace {

class GeneratedStrings : public ::testing::TestWithParam<talvenor::testing::StringCase> {};

TEST_P(GeneratedStrings, EveryMailReadsAndConvertsUnderItsSubject) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("strings.pst"));
    const ExpectedFolder expected =
        talvenor::testing::writeStringStore(path.toStdString(), GetParam());
    {
        NativeApplicationFactory factory;
        Attached a = attach(factory, path);
        expectSameTree(readTree(*a.root), expected);
    }
    expectMailSavedUnderItsSubject(path, expected, dir.filePath(QStringLiteral("out")));
}

INSTANTIATE_TEST_SUITE_P(Cases, GeneratedStrings,
                         ::testing::ValuesIn(talvenor::testing::stringCases()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(GeneratedOffline, TheMailServersTreeShowsBelowItsIpmSubtree) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mailbox.ost"));
    const ExpectedFolder expected = talvenor::testing::writeOfflineStore(path.toStdString());
    NativeApplicationFactory factory;
    Attached a = attach(factory, path);
    // Neither "Root - Mailbox" nor the empty folder at the usual node of a personal store's
    // subtree: the walk starts at IPM_SUBTREE.
    expectSameTree(readTree(*a.root), expected);
    a.ns->removeStore(*a.root);
}

// Stores as other writers leave them: the surface shows every folder and item, the top folder's
// own mail too.
TEST(GeneratedQuirks, EveryFolderAndItemShowsBelowTheTopFolder) {
    for (const auto& store : talvenor::testing::quirkStores()) {
        SCOPED_TRACE(store.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("quirks.pst"));
        pstwriter::writePst(store.description, path.toStdString());
        NativeApplicationFactory factory;
        Attached a = attach(factory, path);
        expectSameTree(readTree(*a.root), store.expected);
        a.ns->removeStore(*a.root);
    }
}

// Points every folder entry id (flags, store uid, node id) of a file written without
// encoding, except the search root's, at no folder; the search root's shows the store uid.
void breakEntryIds(QByteArray& bytes) {
    const std::uint32_t searchRoot = 0x8042;
    const QByteArray target(reinterpret_cast<const char*>(&searchRoot), 4);
    const QByteArray zero(4, '\0');
    QByteArray prefix;
    for (qsizetype at = bytes.indexOf(target); at >= 0; at = bytes.indexOf(target, at + 1)) {
        const QByteArray p = bytes.mid(at - 20, 20);
        if (at >= 20 && p.startsWith(zero) && p.mid(4) != QByteArray(16, '\0') &&
            bytes.count(p) > 1) {
            prefix = p;
            break;
        }
    }
    ASSERT_FALSE(prefix.isEmpty());
    int patched = 0;
    for (qsizetype at = bytes.indexOf(prefix); at >= 0; at = bytes.indexOf(prefix, at + 1))
        if (bytes.mid(at + 20, 4) != target) {
            bytes.replace(at + 20, 4, zero);
            ++patched;
        }
    ASSERT_GT(patched, 0);
}

TEST(GeneratedOffline, AStoreWithoutAnIpmSubtreeIsWalkedFromItsRootNotTakenAsEmpty) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("broken.ost"));
    talvenor::testing::writeOfflineStore(path.toStdString(), pstwriter::Encoding::None);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    // Nothing names the subtree any more: not its name, not the folders the store points to.
    const QByteArray name =
        QByteArray::fromRawData(reinterpret_cast<const char*>(u"IPM_SUBTREE"), 22);
    const QByteArray renamed =
        QByteArray::fromRawData(reinterpret_cast<const char*>(u"MAIL_FOLDER"), 22);
    ASSERT_TRUE(bytes.contains(name));
    bytes.replace(name, renamed);
    breakEntryIds(bytes);
    ASSERT_TRUE(file.seek(0));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();

    // With no top of the mail folders to be told, the walk starts at the root of all folders:
    // the store's mail is still there, below it.
    NativeApplicationFactory factory;
    auto application = factory.create(automation::ApplicationClass);
    auto ns = application->getNamespace(automation::MapiNamespace);
    ns->addStore(QLatin1Char('"') + path + QLatin1Char('"'));
    auto root = ns->lastFolder();
    std::function<int(automation::Folder&)> items = [&](automation::Folder& f) {
        int n = f.items()->count();
        for (int i = 1; i <= f.folderCount(); ++i)
            n += items(*f.folder(i));
        return n;
    };
    EXPECT_GE(items(*root), 4);
}

// Numbered and string names in each kind of property set the map distinguishes: PS_MAPI
// (index 1), PS_PUBLIC_STRINGS (index 2) and one of the GUID stream (3 and up).
class GeneratedNames : public ::testing::TestWithParam<pstwriter::Format> {};

TEST_P(GeneratedNames, EveryNameComesBackWithItsOwnPropertySet) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("names.pst"));
    const std::vector<mapi::PropertyName> names = {
        {mapi::PS_MAPI, 0x8101, u""},
        {mapi::PS_MAPI, std::nullopt, u"mapi-string"},
        {mapi::PS_PUBLIC_STRINGS, 0x8102, u""},
        {mapi::PS_PUBLIC_STRINGS, std::nullopt, u"X-Public"},
        {mapi::PSETID_Common, 0x8103, u""},
        {mapi::PSETID_Common, std::nullopt, u"common-string"},
    };
    mapi::Message written = talvenor::testing::simpleMessage("IPM.Note", u"Named");
    for (std::size_t i = 0; i < names.size(); ++i)
        pstwriter::build::setNamedString(written, names[i],
                                         u"value " + mapi::fromUtf8(std::to_string(i)));
    {
        pstwriter::Options options;
        options.format = GetParam();
        pstwriter::Writer writer(path.toStdString(), options);
        writer.addMessage(writer.addFolder(writer.topFolder(), u"Inbox"), written);
        writer.finish();
    }
    StoreOptions here;
    here.containment = Containment::None;
    const talvenor::testing::WholeMessages whole;
    NativeApplicationFactory factory(whole.options(here));
    Attached a = attach(factory, path);
    auto items = a.root->folder(2)->items();
    ASSERT_EQ(items->count(), 1);
    const mapi::Message read = whole.of(*items->item(1));
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(i);
        const mapi::Property* p = read.findNamed(names[i]);
        ASSERT_NE(p, nullptr) << "name missing or under another property set";
        // ANSI stores keep 8-bit strings.
        const std::u16string text =
            p->type == mapi::PtString8
                ? mapi::fromUtf8(std::string(p->value.begin(), p->value.end()))
                : mapi::fromUtf16le(p->value);
        EXPECT_EQ(text, u"value " + mapi::fromUtf8(std::to_string(i)));
    }
    a.ns->removeStore(*a.root);
}

INSTANTIATE_TEST_SUITE_P(Formats, GeneratedNames,
                         ::testing::Values(pstwriter::Format::Unicode, pstwriter::Format::Ansi,
                                           pstwriter::Format::Ost4k),
                         [](const auto& info) {
                             return info.param == pstwriter::Format::Unicode ? "Unicode"
                                    : info.param == pstwriter::Format::Ansi  ? "Ansi"
                                                                             : "Ost4k";
                         });

// Every property written must come back with its type and value; the reader may add more.
void expectContains(const mapi::PropertyBag& read, const mapi::PropertyBag& written,
                    const std::string& where, bool hasAttachments = false) {
    for (const auto& w : written.props) {
        SCOPED_TRACE(where + " property " + std::to_string(w.id));
        const mapi::Property* r = w.name ? read.findNamed(*w.name) : read.find(w.id);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->type, w.type);
        mapi::Bytes expectedValue = w.value;
        // The writer marks a message with attachments as such.
        if (w.id == mapi::tags::MessageFlags && hasAttachments && expectedValue.size() == 4)
            expectedValue[0] |= 0x10;
        if (w.id == mapi::tags::Subject && !w.name && expectedValue.size() >= 4 &&
            expectedValue[0] == 1 && expectedValue[1] == 0)
            expectedValue.erase(expectedValue.begin(), expectedValue.begin() + 4);
        EXPECT_EQ(r->value, expectedValue);
        EXPECT_EQ(r->values, w.values);
        if (w.name) {
            EXPECT_GE(r->id, 0x8000);
        }
    }
}

void expectSameMessage(const mapi::Message& read, const mapi::Message& written,
                       const std::string& where) {
    expectContains(read, written, where, !written.attachments.empty());
    ASSERT_EQ(read.recipients.size(), written.recipients.size()) << where;
    for (std::size_t i = 0; i < written.recipients.size(); ++i)
        expectContains(read.recipients[i], written.recipients[i],
                       where + " recipient " + std::to_string(i));
    ASSERT_EQ(read.attachments.size(), written.attachments.size()) << where;
    for (std::size_t i = 0; i < written.attachments.size(); ++i) {
        const std::string at = where + " attachment " + std::to_string(i);
        expectContains(read.attachments[i], written.attachments[i], at);
        ASSERT_EQ(bool(read.attachments[i].embedded), bool(written.attachments[i].embedded)) << at;
        if (written.attachments[i].embedded)
            expectSameMessage(*read.attachments[i].embedded, *written.attachments[i].embedded,
                              at + " embedded");
    }
}

TEST(GeneratedMessage, ReadMessageCarriesEveryWrittenPropertyRecipientAndAttachment) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rich.pst"));
    const mapi::Message written = talvenor::testing::richMessage();
    {
        pstwriter::Writer writer(path.toStdString());
        writer.addMessage(writer.addFolder(writer.topFolder(), u"Inbox"), written);
        writer.finish();
    }
    // Handed over by the reading child, and read in this process.
    for (const auto containment : {Containment::ReadAlong, Containment::None}) {
        SCOPED_TRACE(int(containment));
        StoreOptions options;
        options.containment = containment;
        const talvenor::testing::WholeMessages whole;
        NativeApplicationFactory factory(whole.options(options));
        Attached a = attach(factory, path);
        ASSERT_EQ(a.root->folderCount(), 2);
        auto items = a.root->folder(2)->items();
        ASSERT_EQ(items->count(), 1);
        auto item = items->item(1);
        const mapi::Message read = whole.of(*item);
        expectSameMessage(read, written, "message");
        // The prefix marker is gone from the subject the message file will carry.
        EXPECT_EQ(read.unicode(mapi::tags::Subject), u"RE: Everything at once \u00e9\u65e5");
        a.ns->removeStore(*a.root);
    }
}

TEST(GeneratedMessage, LargeAttachmentsAreHandedOverWhole) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("large.pst"));
    // Larger than what the pipe and one read hold, so that it arrives in many pieces.
    mapi::Bytes data(5 * 1024 * 1024 + 17);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t((i * 2654435761U) >> 13);
    {
        pstwriter::Writer writer(path.toStdString());
        const auto inbox = writer.addFolder(writer.topFolder(), u"Inbox");
        for (const char16_t* subject : {u"first", u"large", u"last"}) {
            mapi::Message m = talvenor::testing::simpleMessage("IPM.Note", subject);
            if (subject == std::u16string_view(u"large")) {
                auto& file = m.attachments.emplace_back();
                file.setInt32(mapi::tags::AttachMethod, mapi::AttachByValue);
                file.setUnicode(mapi::tags::AttachLongFilename, u"big.bin");
                file.setBinary(mapi::tags::AttachDataBinary, data);
            }
            writer.addMessage(inbox, m);
        }
        writer.finish();
    }
    const talvenor::testing::WholeMessages whole;
    NativeApplicationFactory factory(whole.options());
    Attached a = attach(factory, path);
    ASSERT_EQ(a.root->folderCount(), 2);
    auto items = a.root->folder(2)->items();
    ASSERT_EQ(items->count(), 3);
    for (int j = 1; j <= 3; ++j) {
        const mapi::Message m = whole.of(*items->item(j));
        if (j == 2) {
            ASSERT_EQ(m.attachments.size(), 1u);
            const auto* bytes = m.attachments[0].find(mapi::tags::AttachDataBinary);
            ASSERT_NE(bytes, nullptr);
            EXPECT_TRUE(bytes->value == data);
        }
        EXPECT_EQ(items->item(j)->subject(), QString::fromStdU16String(j == 1   ? u"first"
                                                                       : j == 2 ? u"large"
                                                                                : u"last"));
    }
    a.ns->removeStore(*a.root);
}

TEST(GeneratedSession, SavingIsRefusedClearlyUntilAMessageWriterIsWired) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("save.pst"));
    {
        pstwriter::Writer writer(path.toStdString());
        const auto inbox = writer.addFolder(writer.topFolder(), u"Inbox");
        writer.addMessage(inbox, talvenor::testing::simpleMessage("IPM.Note", u"first"));
        writer.addMessage(inbox, talvenor::testing::simpleMessage("IPM.Contact", u"not mail"));
        writer.finish();
    }
    const QString out = dir.filePath(QStringLiteral("out/save.msg"));
    QDir().mkpath(dir.filePath(QStringLiteral("out")));

    talvenor::testing::RecordingMessageBox messages;
    talvenor::testing::CountingEventLoop events;
    talvenor::testing::RecordingPointer pointer;
    {
        NativeApplicationFactory factory;
        ConversionSession(factory, messages, events, pointer).PST2MSG(path, out);
    }
    ASSERT_EQ(messages.shown.size(), 1)
        << messages.texts().join(QStringLiteral("|")).toStdString(); // one mail item, one report
    EXPECT_TRUE(messages.shown[0].text.contains(QStringLiteral("not supported yet")));
    EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("out"))).isEmpty());

    // Wired to a writer, the same road hands over the whole message.
    std::vector<std::pair<QString, std::u16string>> saved;
    StoreOptions options;
    options.writer = [&](const mapi::Message& m, const QString& target) {
        saved.emplace_back(target, m.unicode(mapi::tags::Subject).value_or(u""));
    };
    messages.shown.clear();
    {
        NativeApplicationFactory factory(options);
        ConversionSession(factory, messages, events, pointer).PST2MSG(path, out);
    }
    EXPECT_TRUE(messages.shown.isEmpty())
        << messages.texts().join(QStringLiteral("|")).toStdString();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_TRUE(saved[0].first.endsWith(QStringLiteral("first.msg")));
    EXPECT_EQ(saved[0].second, u"first");
    EXPECT_EQ(pointer.current, PointerMode::Default);
}

TEST(GeneratedLifetime, ObjectsMayBeReleasedInAnyOrderAndFailOnceTheStoreIsGone) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lifetime.pst"));
    {
        pstwriter::Writer writer(path.toStdString());
        writer.addMessage(writer.addFolder(writer.topFolder(), u"Inbox"),
                          talvenor::testing::simpleMessage("IPM.Note", u"kept"));
        writer.finish();
    }
    auto factory = std::make_unique<NativeApplicationFactory>();
    Attached a = attach(*factory, path);
    auto folder = a.root->folder(2);
    auto items = folder->items();
    auto item = items->item(1);
    factory.reset();
    a.application.reset();
    EXPECT_EQ(item->subject(), QStringLiteral("kept")); // the namespace still holds the store
    folder.reset();
    EXPECT_EQ(items->item(1)->subject(), QStringLiteral("kept"));
    a.ns.reset(); // releasing the namespace closes the store
    for (auto call : std::vector<std::function<void()>>{
             [&] { item->subject(); }, [&] { items->count(); }, [&] { a.root->name(); },
             [&] { a.root->folder(1); }, [&] { item->saveAs(QStringLiteral("x.msg")); }}) {
        try {
            call();
            ADD_FAILURE() << "a call on a closed store succeeded";
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), storefailures::StoreNotAttached) << f.description().toStdString();
        }
    }
}

// The bytes the heap holds for live allocations: unlike the resident size, this depends only on
// what the code allocates and frees, not on the machine (huge pages, what the kernel reclaims,
// and under the sanitizer the quarantine of freed memory).
std::size_t liveHeapBytes() {
#if TALVENOR_UNDER_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = ::mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// Reading items one after another must not pile up what was read: libpff keeps the parts of
// the store's index it has walked, about a kilobyte per item here (9.6 MiB over these 9000),
// but never the items themselves.
constexpr std::size_t AllowedGrowthBytes = 16 << 20;

TEST(GeneratedLargeStore, TenThousandMessagesAreWalkedWithFlatMemory) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("large.pst"));
    constexpr int Count = 10000;
    talvenor::testing::writeLargeFolderStore(path.toStdString(), Count);

    StoreOptions options;
    options.containment = Containment::None; // measure this process's reading only
    const talvenor::testing::WholeMessages whole;
    NativeApplicationFactory factory(whole.options(options));
    Attached a = attach(factory, path);
    ASSERT_EQ(a.root->folderCount(), 2);
    auto folder = a.root->folder(2);
    auto items = folder->items();
    ASSERT_EQ(items->count(), Count);
    std::size_t early = 0;
    for (int j = 1; j <= Count; ++j) {
        auto item = items->item(j);
        ASSERT_EQ(item->itemClass(), 43);
        ASSERT_EQ(item->subject(), QStringLiteral("RE: message %1").arg(j - 1));
        whole.of(*item);
        if (j == 1000)
            early = liveHeapBytes();
    }
    const std::size_t late = liveHeapBytes();
    std::printf("heap in use after 1000 items: %zu KiB, after %d: %zu KiB\n", early / 1024, Count,
                late / 1024);
    EXPECT_LT(late > early ? late - early : 0, AllowedGrowthBytes);
    a.ns->removeStore(*a.root);
}

// Reads every item of the tree; an item that fails is recorded with its failure instead.
void readItemsOrFailures(automation::Folder& folder, const ExpectedFolder& expected,
                         const QString& path, int crashing, int& failed) {
    SCOPED_TRACE(expected.name.toStdString());
    auto items = folder.items();
    ASSERT_EQ(items->count(), int(expected.items.size()));
    for (int j = 1; j <= items->count(); ++j) {
        if (j == crashing) {
            try {
                items->item(j)->subject();
                ADD_FAILURE() << "item " << j << " was read although it crashed the reader";
            } catch (const Failure& f) {
                EXPECT_EQ(f.number(), storefailures::DamagedStore);
                EXPECT_TRUE(f.description().contains(path)) << f.description().toStdString();
                ++failed;
            }
            continue;
        }
        auto item = items->item(j);
        EXPECT_EQ(item->itemClass(), expected.items[j - 1].itemClass) << "item " << j;
        EXPECT_EQ(item->subject(), expected.items[j - 1].subject) << "item " << j;
        // Asking again by the same position gives the same item.
        EXPECT_EQ(items->item(j)->subject(), expected.items[j - 1].subject) << "item " << j;
    }
    ASSERT_EQ(folder.folderCount(), int(expected.folders.size()));
    for (int i = 1; i <= folder.folderCount(); ++i)
        readItemsOrFailures(*folder.folder(i), expected.folders[i - 1], path, crashing, failed);
}

// The folders of a tree with a second item, which a reader crashing on the second item of
// every folder loses.
int foldersWithTwoItems(const ExpectedFolder& folder) {
    int n = folder.items.size() >= 2 ? 1 : 0;
    for (const auto& sub : folder.folders)
        n += foldersWithTwoItems(sub);
    return n;
}

TEST(GeneratedContainment, AnItemThatCrashesTheReaderCostsOnlyThatItem) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("crashing item.pst"));
    const ExpectedFolder expected =
        talvenor::testing::writeTreeStore(path.toStdString(), pstwriter::Format::Unicode);
    const int foldersWithTwo = foldersWithTwoItems(expected);
    ASSERT_GT(foldersWithTwo, 0);

    for (const int crashing : {0, 2}) {
        SCOPED_TRACE(crashing);
        StoreOptions options;
        if (crashing)
            options =
                talvenor::testing::withFaults(options, QStringLiteral("crash-at=%1").arg(crashing));
        NativeApplicationFactory factory(options);
        Attached a = attach(factory, path);
        int failed = 0;
        readItemsOrFailures(*a.root, expected, path, crashing, failed);
        // Each crash cost one item, and a fresh reader went on after it.
        EXPECT_EQ(failed, crashing ? foldersWithTwo : 0);
    }

    // Through the session: one report per damaged item, not one per step that asks for it.
    StoreOptions options;
    options.writer = [](const mapi::Message&, const QString&) {};
    options = talvenor::testing::withFaults(options, QStringLiteral("crash-at=2"));
    NativeApplicationFactory factory(options);
    QDir().mkpath(dir.filePath(QStringLiteral("out")));
    talvenor::testing::RecordingMessageBox messages;
    talvenor::testing::CountingEventLoop events;
    talvenor::testing::RecordingPointer pointer;
    ConversionSession(factory, messages, events, pointer)
        .PST2MSG(path, dir.filePath(QStringLiteral("out/x.msg")));
    EXPECT_EQ(messages.shown.size(), foldersWithTwo)
        << messages.texts().join(QStringLiteral("|")).toStdString();
    for (const auto& m : messages.shown)
        EXPECT_TRUE(m.text.contains(QStringLiteral("at line 116"))) << m.text.toStdString();
}

TEST(GeneratedContainment, AReaderThatGrowsTooLargeHandsOverToAFreshOneAndNothingIsLost) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("restarts.pst"));
    talvenor::testing::writeTreeStore(path.toStdString(), pstwriter::Format::Unicode);
    const QString readers = dir.filePath(QStringLiteral("readers"));

    // What the session saves: the name and the message's make-up, in order.
    auto convert = [&](StoreOptions options) {
        QStringList saved;
        options.writer = [&](const mapi::Message& m, const QString& target) {
            saved << QStringLiteral("%1 %2/%3/%4")
                         .arg(QFileInfo(target).fileName())
                         .arg(m.props.size())
                         .arg(m.recipients.size())
                         .arg(m.attachments.size());
        };
        if (options.containment == Containment::ReadAlong)
            options =
                talvenor::testing::withFaults(options, QStringLiteral("log-items=") + readers);
        const QString out = dir.filePath(QStringLiteral("out"));
        QDir().mkpath(out);
        talvenor::testing::RecordingMessageBox messages;
        talvenor::testing::CountingEventLoop events;
        talvenor::testing::RecordingPointer pointer;
        NativeApplicationFactory factory(options);
        ConversionSession(factory, messages, events, pointer)
            .PST2MSG(path, out + QStringLiteral("/restarts.msg"));
        EXPECT_TRUE(messages.shown.isEmpty())
            << messages.texts().join(QStringLiteral("|")).toStdString();
        return saved;
    };
    StoreOptions inProcess;
    inProcess.containment = Containment::None;
    const QStringList expected = convert(inProcess);
    ASSERT_GT(expected.size(), 3);

    StoreOptions restarting;
    restarting.helperMemoryBudget = 0; // a fresh reader after every item
    EXPECT_EQ(convert(restarting), expected);
    QFile log(readers);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    QSet<QByteArray> pids;
    for (const QByteArray& line : log.readAll().split('\n'))
        if (!line.isEmpty())
            pids.insert(line);
    EXPECT_GT(pids.size(), expected.size() / 2);
}

TEST(GeneratedContainment, AFreshReaderMayTakeAsLongToOpenTheStoreAsTheFirstOne) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("slow to open.pst"));
    {
        // A few megabytes, so that opening may take a few seconds longer than one item.
        pstwriter::Writer writer(path.toStdString());
        const auto inbox = writer.addFolder(writer.topFolder(), u"Inbox");
        for (const char16_t* subject : {u"one", u"two", u"three"}) {
            mapi::Message m = talvenor::testing::simpleMessage("IPM.Note", subject);
            auto& file = m.attachments.emplace_back();
            file.setInt32(mapi::tags::AttachMethod, mapi::AttachByValue);
            file.setBinary(mapi::tags::AttachDataBinary, mapi::Bytes(1500 * 1024, 7));
            writer.addMessage(inbox, m);
        }
        writer.finish();
    }
    ASSERT_GE(QFileInfo(path).size(), 4 * 1024 * 1024);
    StoreOptions options;
    options.itemSilence = std::chrono::seconds(1);
    options.helperMemoryBudget = 0; // a fresh reader after every item
    // Every reader after the first takes longer to open than an item may take.
    options = talvenor::testing::withFaults(options, QStringLiteral("reopen-delay-ms=1500"));
    NativeApplicationFactory factory(options);
    Attached a = attach(factory, path);
    auto items = a.root->folder(2)->items();
    ASSERT_EQ(items->count(), 3);
    for (int j = 1; j <= 3; ++j)
        EXPECT_EQ(items->item(j)->subject(), QString::fromStdU16String(j == 1   ? u"one"
                                                                       : j == 2 ? u"two"
                                                                                : u"three"));
    a.ns->removeStore(*a.root);
}

TEST(GeneratedDamage, TruncatedStoresFailClearly) {
    QTemporaryDir dir;
    for (auto format : {pstwriter::Format::Unicode, pstwriter::Format::Ansi}) {
        const QString whole = dir.filePath(QStringLiteral("whole.pst"));
        QFile::remove(whole);
        talvenor::testing::writeTreeStore(whole.toStdString(), format);
        QFile in(whole);
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        const QByteArray bytes = in.readAll();
        const qsizetype size = bytes.size();
        for (qsizetype cut : {qsizetype(100), qsizetype(600), qsizetype(4096), qsizetype(20000),
                              size / 3, size / 2, size - 4096, size - 513, size - 1}) {
            SCOPED_TRACE(cut);
            const QString path = dir.filePath(QStringLiteral("cut %1.pst").arg(cut));
            QFile out(path);
            ASSERT_TRUE(out.open(QIODevice::WriteOnly));
            out.write(bytes.left(cut));
            out.close();
            for (auto containment : {Containment::ReadAlong, Containment::None}) {
                StoreOptions options;
                options.containment = containment;
                NativeApplicationFactory factory(options);
                try {
                    Attached a = attach(factory, path);
                    // The cut fell where nothing was needed: reading the whole store is fine.
                    readTree(*a.root);
                } catch (const Failure& f) {
                    EXPECT_TRUE(f.number() == storefailures::DamagedStore ||
                                f.number() == storefailures::NotAStore)
                        << f.number() << " " << f.description().toStdString();
                    EXPECT_TRUE(f.description().contains(path)) << f.description().toStdString();
                }
            }
        }
    }
}

// A file cut short says so, with its real size and the size its header gives it, wherever the
// cut makes reading fail: on opening, for a folder, or for an item.
TEST(GeneratedDamage, AFileCutShortSaysItIsShorterThanItsHeaderSays) {
    QTemporaryDir dir;
    const QString whole = dir.filePath(QStringLiteral("whole.pst"));
    talvenor::testing::writeTreeStore(whole.toStdString(), pstwriter::Format::Unicode);
    QFile in(whole);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray bytes = in.readAll();
    const QString fullSize = roundedSize(std::uint64_t(bytes.size()));
    struct Case {
        qsizetype cut;
        const char* endsAt;
        bool losesSomething; // false: the cut may fall where nothing was needed
    };
    const Case cases[] = {
        {4096, "it ends at 4,096 bytes of its ", true},
        {20000, "it ends at 20,000 bytes of its ", true},
        {bytes.size() / 2, "it ends at ", false},
        {bytes.size() - 4096, "it ends at ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cut);
        const QString path = dir.filePath(QStringLiteral("cut %1.pst").arg(c.cut));
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes.left(c.cut));
        out.close();
        for (auto containment : {Containment::ReadAlong, Containment::None}) {
            StoreOptions options;
            options.containment = containment;
            NativeApplicationFactory factory(options);
            std::vector<Failure> failures;
            try {
                Attached a = attach(factory, path);
                std::function<void(automation::Folder&)> visit = [&](automation::Folder& folder) {
                    try {
                        auto items = folder.items();
                        for (int j = 1; j <= items->count(); ++j) {
                            try {
                                items->item(j)->subject();
                            } catch (const Failure& f) {
                                failures.push_back(f);
                            }
                        }
                    } catch (const Failure& f) {
                        failures.push_back(f);
                    }
                    for (int i = 1; i <= folder.folderCount(); ++i)
                        visit(*folder.folder(i));
                };
                visit(*a.root);
            } catch (const Failure& f) {
                failures.push_back(f);
            }
            if (c.losesSomething) {
                EXPECT_FALSE(failures.empty());
            }
            for (const Failure& f : failures) {
                EXPECT_EQ(f.number(), storefailures::DamagedStore);
                EXPECT_TRUE(f.description().contains(path)) << f.description().toStdString();
                EXPECT_TRUE(
                    f.description().contains(QStringLiteral("is shorter than its own header says")))
                    << f.description().toStdString();
                EXPECT_TRUE(f.description().contains(QLatin1String(c.endsAt) + fullSize))
                    << f.description().toStdString();
                EXPECT_FALSE(f.description().contains(QStringLiteral("no node")))
                    << f.description().toStdString();
                EXPECT_EQ(f.cause(), Cause::CutShort) << f.description().toStdString();
            }
        }
    }
}

TEST(DamageWording, SizesAreGroupedAndRounded) {
    struct Case {
        std::uint64_t bytes;
        const char* exact;
        const char* rounded;
    };
    const Case cases[] = {
        {0, "0 bytes", "0 bytes"},
        {4096, "4,096 bytes", "4,096 bytes"},
        {20000, "20,000 bytes", "20 KB"},
        {468713472, "468,713,472 bytes", "447 MB"},
        {std::uint64_t(50) << 30, "53,687,091,200 bytes", "50 GB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(byteCount(c.bytes), QLatin1String(c.exact));
        EXPECT_EQ(roundedSize(c.bytes), QLatin1String(c.rounded));
    }
}

} // namespace

namespace {

std::int64_t itemsIn(const ExpectedFolder& folder) {
    std::int64_t n = std::int64_t(folder.items.size());
    for (const auto& sub : folder.folders)
        n += itemsIn(sub);
    return n;
}

struct TickingClock : IClock {
    std::chrono::milliseconds now() const override { return t += std::chrono::milliseconds(100); }
    mutable std::chrono::milliseconds t{0};
};

struct RecordingBar : IProgress {
    void setValue(int) override {}
    void setText(const QString& text) override { texts << text; }
    QStringList texts;
};

TEST(GeneratedStore, ProgressInsideTheFileReachesAllItems) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("big.pst"));
    const ExpectedFolder tree =
        talvenor::testing::writeTreeStore(path.toStdString(), pstwriter::Format::Unicode);
    const std::int64_t n = itemsIn(tree);
    ASSERT_GT(n, 5);
    QDir().mkpath(dir.filePath(QStringLiteral("out")));

    StoreOptions options;
    options.writer = [](const mapi::Message&, const QString&) {};
    NativeApplicationFactory factory(options);
    talvenor::testing::RecordingMessageBox messages;
    talvenor::testing::CountingEventLoop events;
    talvenor::testing::RecordingPointer pointer;
    RecordingBar bar;
    TickingClock clock;
    FileProgressText progress(bar, QStringLiteral("big.pst"), clock);
    ConversionSession(factory, messages, events, pointer)
        .PST2MSG(path, dir.filePath(QStringLiteral("out/big.msg")), &progress);

    EXPECT_TRUE(messages.shown.isEmpty()) << messages.texts().join('|').toStdString();
    ASSERT_GE(bar.texts.size(), 2);
    EXPECT_EQ(bar.texts.first(), QStringLiteral("Processing: big.pst - 0 of %1").arg(n));
    EXPECT_EQ(bar.texts.last(), QStringLiteral("Processing: big.pst - %1 of %1").arg(n));
    // A clock that moves 100 ms a call lets every third item through, and always the last.
    EXPECT_LT(bar.texts.size(), n);
}

} // namespace
