// Writes stores with the PST writer and reads them back with libpff: folders, messages,
// subjects, every property, recipients, attachments and embedded messages must come back.
#include "description.h"
#include "everytype.h"
#include "pffreader.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using namespace talvenor;
using namespace talvenor::pstwriter;
using namespace talvenor::pstwriter::test;
using mapi::Bytes;
using mapi::Message;
using mapi::Property;
using mapi::PropertyName;

namespace {

Message richMessage() {
    Message m;
    m.setUnicode(mapi::tags::MessageClass, u"IPM.Note");
    build::setSubject(m, u"RE: Quarterly figures");
    m.setUnicode(mapi::tags::SenderName, u"Anna Berg");
    m.setUnicode(mapi::tags::SenderEmailAddress, u"anna.berg@example.com");
    m.setUnicode(mapi::tags::SenderAddressType, u"SMTP");
    m.setTime(mapi::tags::ClientSubmitTime, build::filetime(1709287200));
    m.setTime(mapi::tags::MessageDeliveryTime, build::filetime(1709287260));
    m.setInt32(mapi::tags::MessageFlags, 1);
    m.setInt32(mapi::tags::Importance, 2);
    std::u16string body;
    for (int i = 0; i < 2000; ++i)
        body += u"Line of the body with ünïcödé " + mapi::fromUtf8(std::to_string(i)) + u"\r\n";
    m.setUnicode(mapi::tags::Body, body);
    const std::string html = "<html><body><p>Hello <b>Bruno</b></p></body></html>";
    m.setBinary(mapi::tags::Html, Bytes(html.begin(), html.end()));
    m.setBinary(mapi::tags::RtfCompressed, build::rtfUncompressed("{\\rtf1\\ansi Hello}"));
    build::addRecipient(m, 1, u"Bruno Costa", u"bruno.costa@example.com");
    build::addRecipient(m, 2, u"Chiara Dahl", u"chiara@example.com");
    build::addRecipient(m, 3, u"Dmitri Ekström", u"dmitri@example.com", u"EX");
    build::addAttachment(m, u"notes.txt", "text/plain", Bytes{'h', 'i'});
    build::addAttachment(m, u"logo.png", "image/png", pattern(100000, 3), "logo@example");
    build::addAttachment(m, u"empty.dat", "application/octet-stream", {});
    Message inner;
    build::setSubject(inner, u"FW: The original");
    inner.setUnicode(mapi::tags::Body, u"Inner body");
    build::addRecipient(inner, 1, u"Elif Fischer", u"elif@example.com");
    build::addAttachment(inner, u"inner.bin", "application/octet-stream", pattern(20000, 4));
    Message innermost;
    build::setSubject(innermost, u"Deepest", false);
    build::addEmbedded(inner, u"Deepest", innermost);
    build::addEmbedded(m, u"The original", inner);
    addEveryType(m);
    return m;
}

// More property data than one heap block holds, and more properties than one B-tree leaf.
Message crowdedMessage() {
    Message m;
    build::setSubject(m, u"Crowded");
    for (std::uint16_t i = 0; i < 40; ++i)
        m.set(prop(std::uint16_t(0x6800 + i), mapi::PtUnicode,
                   mapi::utf16le(std::u16string(1400, char16_t(u'a' + i % 26)))));
    for (std::uint16_t i = 0; i < 500; ++i)
        m.set(prop(std::uint16_t(0x6A00 + i), mapi::PtInteger32, mapi::le32(i * 7u)));
    return m;
}

Message simpleMessage(const std::u16string& subject, bool marker = true) {
    Message m;
    build::setSubject(m, subject, marker);
    m.setUnicode(mapi::tags::Body, u"Body of " + subject);
    return m;
}

const Property* findRead(const mapi::PropertyBag& bag, const Property& written) {
    for (const Property& p : bag.props) {
        if (written.name ? (p.name && *p.name == *written.name) : (!p.name && p.id == written.id))
            return &p;
    }
    return nullptr;
}

// Fixed-size values may come back wider (inline booleans and 16-bit integers).
bool sameValue(std::uint16_t type, const Bytes& want, const Bytes& got) {
    const std::uint16_t base = mapi::baseType(type);
    if (base == mapi::PtBoolean)
        return !got.empty() && (want[0] != 0) == (got[0] != 0);
    if (base == mapi::PtInteger16)
        return got.size() >= 2 && got[0] == want[0] && got[1] == want[1];
    return want == got;
}

void expectBag(const mapi::PropertyBag& written, const mapi::PropertyBag& read,
               const std::string& where, std::initializer_list<std::uint16_t> skip = {}) {
    for (const Property& w : written.props) {
        if (std::find(skip.begin(), skip.end(), w.id) != skip.end() && !w.name)
            continue;
        const Property* r = findRead(read, w);
        const std::string name = w.name ? "named " + mapi::toUtf8(w.name->name) + "/" +
                                              std::to_string(w.name->lid.value_or(0))
                                        : std::to_string(w.id);
        ASSERT_NE(r, nullptr) << where << ": property " << name << " missing";
        EXPECT_EQ(r->type, w.type) << where << ": property " << name;
        if (mapi::isMultiValued(w.type)) {
            ASSERT_EQ(r->values.size(), w.values.size()) << where << ": property " << name;
            for (std::size_t i = 0; i < w.values.size(); ++i)
                EXPECT_TRUE(sameValue(w.type, w.values[i], r->values[i]))
                    << where << ": property " << name << " value " << i;
        } else {
            EXPECT_TRUE(sameValue(w.type, w.value, r->value)) << where << ": property " << name;
        }
    }
}

void expectMessage(const Message& w, const ReadMessage& r, const std::string& where) {
    expectBag(w, r.props, where, {mapi::tags::MessageFlags});
    const auto size = r.props.int32(mapi::tags::MessageSize);
    ASSERT_TRUE(size.has_value()) << where;
    std::size_t payload = 0;
    for (const auto& a : w.attachments)
        if (const auto* d = a.find(mapi::tags::AttachDataBinary))
            payload += d->value.size();
    EXPECT_GE(std::size_t(*size), payload) << where;
    ASSERT_EQ(r.recipients.size(), w.recipients.size()) << where;
    for (std::size_t i = 0; i < w.recipients.size(); ++i)
        expectBag(w.recipients[i], r.recipients[i], where + " recipient " + std::to_string(i));
    ASSERT_EQ(r.attachments.size(), w.attachments.size()) << where;
    for (std::size_t i = 0; i < w.attachments.size(); ++i) {
        const auto& wa = w.attachments[i];
        const auto& ra = r.attachments[i];
        const std::string aw = where + " attachment " + std::to_string(i);
        expectBag(wa, ra.props, aw, {mapi::tags::AttachDataBinary});
        if (wa.embedded) {
            ASSERT_TRUE(ra.embedded) << aw;
            expectMessage(*wa.embedded, *ra.embedded, aw + " embedded");
        } else {
            const auto* d = wa.find(mapi::tags::AttachDataBinary);
            EXPECT_TRUE(ra.data == d->value) << aw << ": attachment bytes differ";
        }
    }
}

std::string readSubject(const ReadMessage& m) {
    const auto* p = m.props.find(mapi::tags::Subject);
    return p ? std::string(p->value.begin(), p->value.end()) : std::string("<none>");
}

std::string bytesOf(const std::u16string& s) {
    const Bytes b = mapi::utf16le(s);
    return std::string(b.begin(), b.end());
}

class RoundTrip : public ::testing::TestWithParam<Encoding> {
protected:
    QTemporaryDir dir;
    std::string path() const { return dir.filePath("store.pst").toStdString(); }
};

TEST_P(RoundTrip, FoldersMessagesAndEveryPropertyComeBack) {
    StoreDescription store;
    store.options.encoding = GetParam();
    store.options.displayName = u"Round trip";
    FolderDescription inbox{u"Inbox", u"IPF.Note", SpecialFolder::Inbox, {}, {}};
    inbox.messages.push_back(richMessage());
    inbox.messages.push_back(simpleMessage(u""));
    inbox.messages.push_back(simpleMessage(u"RE: with marker"));
    inbox.messages.push_back(simpleMessage(u"RE: without marker", false));
    inbox.messages.push_back(simpleMessage(u"Ünïcödé 件名 📨 " + std::u16string(600, u'x')));
    inbox.messages.push_back(crowdedMessage());
    FolderDescription deep{u"Уровень 1", u"IPF.Note", SpecialFolder::None, {}, {}};
    FolderDescription* at = &deep;
    for (int level = 2; level <= 6; ++level) {
        at->folders.push_back(
            {u"Level " + mapi::fromUtf8(std::to_string(level)) + u" 階層",
             u"IPF.Note",
             SpecialFolder::None,
             {simpleMessage(u"At level " + mapi::fromUtf8(std::to_string(level)))},
             {}});
        at = &at->folders.back();
    }
    FolderDescription sent{u"Sent Items", u"IPF.Note", SpecialFolder::SentItems, {}, {}};
    sent.messages.push_back(simpleMessage(u"Sent one"));
    FolderDescription deleted{u"Deleted Items", u"IPF.Note", SpecialFolder::DeletedItems, {}, {}};
    deleted.messages.push_back(simpleMessage(u"Gone"));
    store.folders = {inbox, deep, sent, deleted};
    writePst(store, path());

    const ReadFolder root = readPst(path());
    const ReadFolder* top = root.child("Top of Personal Folders");
    ASSERT_NE(top, nullptr);
    EXPECT_NE(root.child("Search Root"), nullptr);
    ASSERT_EQ(top->folders.size(), 4u);

    const ReadFolder* rin = top->child("Inbox");
    ASSERT_NE(rin, nullptr);
    ASSERT_EQ(rin->messages.size(), inbox.messages.size());
    for (std::size_t i = 0; i < inbox.messages.size(); ++i) {
        const auto* ws = inbox.messages[i].find(mapi::tags::Subject);
        EXPECT_EQ(readSubject(rin->messages[i]), std::string(ws->value.begin(), ws->value.end()))
            << "subject of message " << i;
        expectMessage(inbox.messages[i], rin->messages[i], "inbox message " + std::to_string(i));
    }
    EXPECT_EQ(readSubject(rin->messages[2]), bytesOf(u"\u0001\u0004RE: with marker"));
    EXPECT_EQ(readSubject(rin->messages[3]), bytesOf(u"RE: without marker"));

    const ReadFolder* level = top->child("Уровень 1");
    ASSERT_NE(level, nullptr);
    for (int l = 2; l <= 6; ++l) {
        ASSERT_EQ(level->folders.size(), 1u) << "level " << l;
        level = &level->folders[0];
        EXPECT_EQ(level->name, "Level " + std::to_string(l) + " 階層");
        ASSERT_EQ(level->messages.size(), 1u);
    }
    ASSERT_NE(top->child("Deleted Items"), nullptr);
    EXPECT_EQ(top->child("Deleted Items")->messages.size(), 1u);
    EXPECT_EQ(top->child("Sent Items")->messages.size(), 1u);
}

TEST_P(RoundTrip, LargeStoreHasMultiLevelTreesAndLongTables) {
    // Enough messages for several levels of both B-trees and a contents table spanning many
    // blocks; one attachment large enough for a two-level data tree.
    const int count = 4000;
    {
        Options o;
        o.encoding = GetParam();
        Writer w(path(), o);
        const FolderId f = w.addFolder(w.topFolder(), u"Bulk");
        for (int i = 0; i < count; ++i) {
            Message m = simpleMessage(u"Message " + mapi::fromUtf8(std::to_string(i)));
            if (i == 17)
                build::addAttachment(m, u"huge.bin", "application/octet-stream",
                                     pattern(9 * 1024 * 1024, 9));
            w.addMessage(f, m);
        }
        w.finish();
    }
    const ReadFolder root = readPst(path());
    const ReadFolder* bulk = root.child("Top of Personal Folders")->child("Bulk");
    ASSERT_NE(bulk, nullptr);
    ASSERT_EQ(bulk->messages.size(), std::size_t(count));
    for (int i = 0; i < count; i += 397)
        EXPECT_EQ(readSubject(bulk->messages[i]),
                  bytesOf(u"Message " + mapi::fromUtf8(std::to_string(i))));
    ASSERT_EQ(bulk->messages[17].attachments.size(), 1u);
    EXPECT_TRUE(bulk->messages[17].attachments[0].data == pattern(9 * 1024 * 1024, 9));
}

INSTANTIATE_TEST_SUITE_P(Encodings, RoundTrip,
                         ::testing::Values(Encoding::Compressible, Encoding::None),
                         [](const auto& info) {
                             return info.param == Encoding::None ? "None" : "Compressible";
                         });

} // namespace

namespace {

Bytes cp1252(const std::string& latin) {
    return Bytes(latin.begin(), latin.end());
}

TEST(AnsiRoundTrip, StringsComeBackInTheCodePageAndEverythingElseUnchanged) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("ansi.pst").toStdString();
    Message m = richMessage();
    build::setSubject(m, u"RE: Grüße aus Köln – 20 €");
    const int bulk = 1500; // several levels of the 32-bit B-trees
    {
        Options o;
        o.format = Format::Ansi;
        o.displayName = u"Altes Archiv";
        Writer w(path, o);
        const FolderId f = w.addFolder(w.topFolder(), u"Café");
        w.addMessage(f, m);
        const FolderId many = w.addFolder(w.topFolder(), u"Bulk");
        for (int i = 0; i < bulk; ++i)
            w.addMessage(many, simpleMessage(u"Message " + mapi::fromUtf8(std::to_string(i))));
        w.finish();
    }
    const ReadFolder root = readPst(path);
    const ReadFolder* top = root.child("Top of Personal Folders");
    ASSERT_NE(top, nullptr);
    const ReadFolder* cafe = top->child("Café");
    ASSERT_NE(cafe, nullptr);
    ASSERT_EQ(cafe->messages.size(), 1u);
    const ReadMessage& r = cafe->messages[0];
    const auto* subject = r.props.find(mapi::tags::Subject);
    ASSERT_NE(subject, nullptr);
    EXPECT_EQ(subject->type, mapi::PtString8);
    EXPECT_EQ(subject->value, cp1252("\x01\x04RE: Gr\xFC\xDF"
                                     "e aus K\xF6ln \x96 20 \x80"));
    // Everything that is not a Unicode string is stored as given.
    mapi::PropertyBag nonStrings;
    for (const Property& p : m.props)
        if (mapi::baseType(p.type) != mapi::PtUnicode)
            nonStrings.props.push_back(p);
    expectBag(nonStrings, r.props, "ansi message", {mapi::tags::MessageFlags});
    ASSERT_EQ(r.recipients.size(), m.recipients.size());
    const auto* name = r.recipients[2].find(mapi::tags::DisplayName);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->value, cp1252("Dmitri Ekstr\xF6m"));
    ASSERT_EQ(r.attachments.size(), m.attachments.size());
    EXPECT_TRUE(r.attachments[1].data == pattern(100000, 3));
    ASSERT_TRUE(r.attachments[3].embedded);
    EXPECT_EQ(r.attachments[3].embedded->attachments.size(), 2u);
    const ReadFolder* many = top->child("Bulk");
    ASSERT_NE(many, nullptr);
    EXPECT_EQ(many->messages.size(), std::size_t(bulk));
}

} // namespace

// The description's options for stores as other writers leave them reach the file as an
// independent reader sees it.
TEST(QuirkOptions, TheDescriptionsOptionsReachTheFile) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("quirks.pst").toStdString();
    writePst(parseDescription(R"({
        "terminators": true, "topFolderName": "Top of Outlook data file",
        "ipmSubtreeEntryId": false,
        "messages": [{"subject": "On top"}],
        "folders": [{"name": "Inbox", "emptyContentsTable": true,
                     "messages": [{"subject": "Unlisted"}]}]})"),
             path);
    const ReadFolder root = readPst(path);
    const ReadFolder* top = root.child("Top of Outlook data file");
    ASSERT_NE(top, nullptr);
    ASSERT_EQ(top->messages.size(), 1u);
    const Property* subject = top->messages[0].props.find(mapi::tags::Subject);
    ASSERT_NE(subject, nullptr);
    EXPECT_EQ(subject->value, mapi::utf16le(std::u16string(u"On top\0", 7)));
    const ReadFolder* inbox = top->child("Inbox");
    ASSERT_NE(inbox, nullptr);
    // libpff lists a folder's messages from its contents table only.
    EXPECT_TRUE(inbox->messages.empty());
    EXPECT_EQ(inbox->props.int32(0x3602), 0);
}
