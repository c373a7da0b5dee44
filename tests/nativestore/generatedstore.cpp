#include "generatedstore.h"

#include <functional>

namespace talvenor::testing {

using namespace talvenor::mapi;
namespace build = pstwriter::build;

namespace {

// A subject only the code page (of the 8-bit ones the writer knows) can hold.
std::u16string scriptSubject(std::uint32_t codePage) {
    switch (codePage) {
    case 1250:
        return u"P\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd k\u016f\u0148";
    case 1251:
        return u"\u041f\u0440\u0438\u0432\u0435\u0442";
    case 932:
        return u"\u65e5\u672c\u8a9e\u306e\u30e1\u30fc\u30eb";
    default:
        return u"Gr\u00fc\u00dfe \u20ac";
    }
}

} // namespace

QStringList mailFileNames(const ExpectedFolder& top) {
    QStringList names;
    for (const auto& item : top.items)
        if (item.itemClass == 43) {
            QString name = item.subject;
            for (const QChar c : QStringLiteral("/\\*:?<>|"))
                name.replace(c, QLatin1Char(' '));
            names << name;
        }
    for (const auto& sub : top.folders)
        names << mailFileNames(sub);
    return names;
}

Message simpleMessage(const std::string& messageClass, const std::u16string& subject) {
    Message m;
    if (!messageClass.empty())
        m.setUnicode(tags::MessageClass, fromUtf8(messageClass));
    build::setSubject(m, subject);
    m.setInt32(tags::MessageFlags, 1);
    m.setTime(tags::MessageDeliveryTime, build::filetime(1700000000));
    m.setUnicode(tags::Body, u"Body of " + subject);
    return m;
}

Message richMessage() {
    Message m = simpleMessage("IPM.Note", u"RE: Everything at once \u00e9\u65e5");
    m.setTime(tags::ClientSubmitTime, build::filetime(1699990000));
    m.setBool(0x0057, true);                             // message to me
    m.setInt64(0x6701, 1234567890123);                   // a provider-defined 8-byte integer
    m.setBinary(0x0071, {0x01, 0xD9, 0x00, 0xFF, 0x10}); // conversation index
    {
        Property multi;
        multi.id = 0x6702; // a provider-defined multi-valued integer
        multi.type = PtInteger32 | PtMultiFlag;
        multi.values = {le32(1), le32(0xFFFFFFFF), le32(42)};
        m.set(multi);
    }
    build::addRecipient(m, 1, u"Ann Example", u"ann@example.org");
    build::addRecipient(m, 2, u"Bj\u00f6rn Exempel", u"bjorn@example.se");
    Bytes data(70000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i * 7 + (i >> 8));
    build::addAttachment(m, u"data.bin", "application/octet-stream", data);

    Message inner = simpleMessage("IPM.Note", u"FW: inner message");
    build::addRecipient(inner, 1, u"Inner Person", u"inner@example.org");
    build::addAttachment(inner, u"note.txt", "text/plain", {'h', 'i', '\n'});
    build::addEmbedded(m, u"inner message", inner);

    PropertyName keywords{PS_PUBLIC_STRINGS, std::nullopt, u"Keywords"};
    build::setNamedStrings(m, keywords, {u"alpha", u"\u00df\u00e9ta"});
    PropertyName numbered{PSETID_Common, 0x8580, {}};
    build::setNamedString(m, numbered, u"numbered name");
    return m;
}

ExpectedFolder writeTreeStore(const std::string& path, pstwriter::Format format,
                              std::uint32_t codePage) {
    pstwriter::Options options;
    options.format = format;
    options.codePage = codePage;
    options.displayName = u"Fixture Store";
    pstwriter::Writer writer(path, options);
    const auto top = writer.topFolder();

    ExpectedFolder expected{QStringLiteral("Fixture Store"), {}, {}};
    // The writer always adds Deleted Items first.
    expected.folders.push_back({QStringLiteral("Deleted Items"), {}, {}});

    const auto inbox =
        writer.addFolder(top, u"Inbox", u"IPF.Note", pstwriter::SpecialFolder::Inbox);
    ExpectedFolder inboxExpected{QStringLiteral("Inbox"), {}, {}};
    struct Entry {
        std::string cls;
        std::u16string subject;
        int number;
        QString shown;
    };
    const std::vector<Entry> inboxItems = {
        {"IPM.Note", u"RE: hello", 43, QStringLiteral("RE: hello")},
        {"IPM.Note", u"RE: hello", 43, QStringLiteral("RE: hello")},
        {"IPM.Note", u"", 43, QString()},
        {"IPM.Note.SMIME", u"Signed", 43, QStringLiteral("Signed")},
        {"ipm.note.smime.multipartsigned", u"FW: lower case", 43, QStringLiteral("FW: lower case")},
        {"IPM.Notes", u"Not mail", 45, QStringLiteral("Not mail")},
        {"REPORT.IPM.Note.NDR", u"Undeliverable: x", 46, QStringLiteral("Undeliverable: x")},
        {"IPM.Schedule.Meeting.Request", u"Meeting", 53, QStringLiteral("Meeting")},
        {"IPM.Schedule.Meeting.Resp.Tent", u"Tentative: Meeting", 57,
         QStringLiteral("Tentative: Meeting")},
        {"IPM.Unknown.Kind", u"Unknown kind", 45, QStringLiteral("Unknown kind")},
        {"IPM.Note.Custom.Deeper", u"Custom mail", 43, QStringLiteral("Custom mail")},
        {"IPM.Note", u"Re: a/b", 43, QStringLiteral("Re: a/b")},
    };
    for (const auto& e : inboxItems) {
        writer.addMessage(inbox, simpleMessage(e.cls, e.subject));
        inboxExpected.items.push_back({e.number, e.shown});
    }
    if (format != pstwriter::Format::Ansi) {
        const std::u16string unicode = u"\u65e5\u672c\u8a9e \u00c5ngstr\u00f6m \U0001F600";
        writer.addMessage(inbox, simpleMessage("IPM.Note", unicode));
        inboxExpected.items.push_back({43, QString::fromStdU16String(unicode)});
    } else {
        const std::u16string script = scriptSubject(codePage);
        writer.addMessage(inbox, simpleMessage("IPM.Note", script));
        inboxExpected.items.push_back({43, QString::fromStdU16String(script)});
    }
    if (format != pstwriter::Format::Ansi) { // its subject holds more than one code page
        writer.addMessage(inbox, richMessage());
        inboxExpected.items.push_back({43, QStringLiteral("RE: Everything at once \u00e9\u65e5")});
    }

    const auto projects = writer.addFolder(inbox, u"Projects");
    ExpectedFolder projectsExpected{QStringLiteral("Projects"), {}, {}};
    const auto deep = writer.addFolder(projects, u"Deep");
    ExpectedFolder deepExpected{QStringLiteral("Deep"), {}, {}};
    writer.addMessage(deep, simpleMessage("IPM.Note", u"deep mail"));
    deepExpected.items.push_back({43, QStringLiteral("deep mail")});
    projectsExpected.folders.push_back(deepExpected);
    writer.addFolder(projects, u"Empty");
    projectsExpected.folders.push_back({QStringLiteral("Empty"), {}, {}});
    inboxExpected.folders.push_back(projectsExpected);
    expected.folders.push_back(inboxExpected);

    const auto calendar = writer.addFolder(top, u"Calendar", u"IPF.Appointment");
    ExpectedFolder calendarExpected{QStringLiteral("Calendar"), {}, {}};
    for (const auto& [cls, number] :
         std::vector<std::pair<std::string, int>>{{"IPM.Appointment", 26},
                                                  {"IPM.Contact", 40},
                                                  {"IPM.DistList", 69},
                                                  {"IPM.Task", 48},
                                                  {"IPM.TaskRequest.Accept", 51},
                                                  {"IPM.StickyNote", 44},
                                                  {"IPM.Activity", 42},
                                                  {"IPM.Post", 45},
                                                  {"IPM.Sharing", 104},
                                                  {"IPM.Document.Word", 41}}) {
        const std::u16string subject = fromUtf8(cls);
        writer.addMessage(calendar, simpleMessage(cls, subject));
        calendarExpected.items.push_back({number, QString::fromStdU16String(subject)});
    }
    expected.folders.push_back(calendarExpected);
    writer.finish();
    return expected;
}

std::vector<StringCase> stringCases() {
    using pstwriter::Format;
    using pstwriter::MessageStrings;
    return {{"UnicodeString8", Format::Unicode, 1252, MessageStrings::String8},
            {"UnicodeString8In1251", Format::Unicode, 1251, MessageStrings::String8},
            {"OstString8In932", Format::Ost4k, 932, MessageStrings::String8},
            {"AnsiUnicode", Format::Ansi, 1252, MessageStrings::Unicode},
            {"Ansi1250", Format::Ansi, 1250, MessageStrings::AsStore},
            {"Ansi1251", Format::Ansi, 1251, MessageStrings::AsStore},
            {"Ansi932", Format::Ansi, 932, MessageStrings::AsStore},
            {"Ansi932Unicode", Format::Ansi, 932, MessageStrings::Unicode}};
}

ExpectedFolder writeStringStore(const std::string& path, const StringCase& c) {
    pstwriter::Options options;
    options.format = c.format;
    options.codePage = c.codePage;
    options.messageStrings = c.strings;
    options.displayName = u"Strings";
    pstwriter::Writer writer(path, options);
    ExpectedFolder expected{QStringLiteral("Strings"), {}, {}};
    expected.folders.push_back({QStringLiteral("Deleted Items"), {}, {}});
    const auto inbox = writer.addFolder(writer.topFolder(), u"Inbox", u"IPF.Note",
                                        pstwriter::SpecialFolder::Inbox);
    ExpectedFolder inboxExpected{QStringLiteral("Inbox"), {}, {}};
    const std::u16string script = scriptSubject(c.codePage);
    const struct {
        const char* cls;
        std::u16string subject;
        bool marker;
    } items[] = {
        {"IPM.Note", u"RE: marked " + script, true},
        {"ipm.note", u"RE: unmarked " + script, false},
        {"IPM.NOTE.SMIME", u"FW: signed", true},
        {"IPM.NOTE.SMIME", u"AW: signed unmarked", false},
        {"ipm.note", u"plain " + script, true},
    };
    for (const auto& item : items) {
        Message m = simpleMessage(item.cls, u"");
        build::setSubject(m, item.subject, item.marker);
        m.setUnicode(tags::Body, u"Body of " + item.subject);
        m.setUnicode(tags::SenderName, u"Sender " + script);
        build::addRecipient(m, 1, u"Recipient " + script, u"to@example.org");
        writer.addMessage(inbox, m);
        inboxExpected.items.push_back({43, QString::fromStdU16String(item.subject)});
    }
    expected.folders.push_back(inboxExpected);
    writer.finish();
    return expected;
}

ExpectedFolder writeOfflineStore(const std::string& path, pstwriter::Encoding encoding) {
    pstwriter::Options options;
    options.format = pstwriter::Format::Ost4k;
    options.encoding = encoding;
    options.displayName = u"Offline Mailbox";
    pstwriter::Writer writer(path, options);
    const auto top = writer.topFolder();
    ExpectedFolder expected{QStringLiteral("Offline Mailbox"), {}, {}};
    expected.folders.push_back({QStringLiteral("Deleted Items"), {}, {}});

    const auto inbox =
        writer.addFolder(top, u"Inbox", u"IPF.Note", pstwriter::SpecialFolder::Inbox);
    ExpectedFolder inboxExpected{QStringLiteral("Inbox"), {}, {}};
    writer.addMessage(inbox, simpleMessage("IPM.Note", u"RE: status of the offline store"));
    inboxExpected.items.push_back({43, QStringLiteral("RE: status of the offline store")});
    writer.addMessage(inbox, richMessage());
    inboxExpected.items.push_back({43, QStringLiteral("RE: Everything at once \u00e9\u65e5")});
    const auto sub = writer.addFolder(inbox, u"Suppliers");
    writer.addMessage(sub, simpleMessage("IPM.Note", u"Offer for March"));
    inboxExpected.folders.push_back(
        {QStringLiteral("Suppliers"), {{43, QStringLiteral("Offer for March")}}, {}});
    expected.folders.push_back(inboxExpected);

    const auto sent =
        writer.addFolder(top, u"Sent Items", u"IPF.Note", pstwriter::SpecialFolder::SentItems);
    writer.addMessage(sent, simpleMessage("IPM.Note", u"FW: minutes"));
    expected.folders.push_back(
        {QStringLiteral("Sent Items"), {{43, QStringLiteral("FW: minutes")}}, {}});

    const auto calendar = writer.addFolder(top, u"Calendar", u"IPF.Appointment");
    ExpectedFolder calendarExpected{QStringLiteral("Calendar"), {}, {}};
    for (const auto& [cls, subject, number] :
         std::vector<std::tuple<std::string, std::u16string, int>>{
             {"IPM.Appointment", u"Dentist", 26},
             {"IPM.Schedule.Meeting.Request", u"Planning", 53},
             {"IPM.Appointment", u"Team lunch", 26},
             {"IPM.Schedule.Meeting.Request", u"Review", 53}}) {
        writer.addMessage(calendar, simpleMessage(cls, subject));
        calendarExpected.items.push_back({number, QString::fromStdU16String(subject)});
    }
    expected.folders.push_back(calendarExpected);
    writer.addFolder(top, u"Sync Issues");
    expected.folders.push_back({QStringLiteral("Sync Issues"), {}, {}});
    writer.finish();
    return expected;
}

void writeLargeFolderStore(const std::string& path, int count) {
    pstwriter::Options options;
    options.displayName = u"Large";
    pstwriter::Writer writer(path, options);
    const auto folder = writer.addFolder(writer.topFolder(), u"Many");
    for (int i = 0; i < count; ++i)
        writer.addMessage(folder,
                          simpleMessage("IPM.Note", u"RE: message " + fromUtf8(std::to_string(i))));
    writer.finish();
}

std::vector<QuirkStore> quirkStores() {
    using pstwriter::StoreDescription;
    const std::u16string japaneseTop = u"Outlook データ ファイルのトップ";
    auto inTopFolder = [](StoreDescription& d, ExpectedFolder& e) {
        for (const std::u16string& subject :
             {std::u16string(u"Top one"), std::u16string(u"会議の議事録")}) {
            d.messages.push_back(simpleMessage("IPM.Note", subject));
            e.items.push_back({43, QString::fromStdU16String(subject)});
        }
    };
    auto unnamedTop = [](StoreDescription& d, const std::u16string& name) {
        d.options.topFolderName = name;
        d.options.ipmSubtreeEntryId = false;
    };
    auto emptyInbox = [](StoreDescription& d, ExpectedFolder&) {
        d.folders.front().emptyContentsTable = true;
    };
    auto make = [](const char* name,
                   const std::function<void(StoreDescription&, ExpectedFolder&)>& quirk) {
        QuirkStore q{name, {}, {QStringLiteral("Quirks"), {}, {}}};
        q.description.options.displayName = u"Quirks";
        pstwriter::FolderDescription inbox;
        inbox.name = u"Inbox";
        inbox.special = pstwriter::SpecialFolder::Inbox;
        inbox.messages = {simpleMessage("IPM.Note", u"Inbox one"),
                          simpleMessage("IPM.Note", u"Inbox two")};
        pstwriter::FolderDescription receipts;
        receipts.name = u"Receipts";
        receipts.messages = {simpleMessage("IPM.Note", u"Receipt")};
        inbox.folders.push_back(std::move(receipts));
        q.description.folders.push_back(std::move(inbox));
        // The writer always adds Deleted Items first.
        q.expected.folders = {
            {QStringLiteral("Deleted Items"), {}, {}},
            {QStringLiteral("Inbox"),
             {{43, QStringLiteral("Inbox one")}, {43, QStringLiteral("Inbox two")}},
             {{QStringLiteral("Receipts"), {{43, QStringLiteral("Receipt")}}, {}}}}};
        quirk(q.description, q.expected);
        return q;
    };
    return {
        make("mail in the top folder", inTopFolder),
        make("an old store's top folder, not named by the store",
             [&](StoreDescription& d, ExpectedFolder&) {
                 unnamedTop(d, u"Top of Outlook data file");
             }),
        make("a top folder in Japanese, not named by the store, holding mail",
             [&](StoreDescription& d, ExpectedFolder& e) {
                 unnamedTop(d, japaneseTop);
                 inTopFolder(d, e);
             }),
        make("a folder whose contents table lists none of its mail", emptyInbox),
        make("all of them in an ANSI store",
             [&](StoreDescription& d, ExpectedFolder& e) {
                 d.options.format = pstwriter::Format::Ansi;
                 unnamedTop(d, u"Top of Outlook data file");
                 inTopFolder(d, e);
                 emptyInbox(d, e);
                 // No Japanese in windows-1252.
                 d.messages.pop_back();
                 e.items.pop_back();
             }),
        make("all of them in an offline store",
             [&](StoreDescription& d, ExpectedFolder& e) {
                 d.options.format = pstwriter::Format::Ost4k;
                 unnamedTop(d, japaneseTop);
                 inTopFolder(d, e);
                 emptyInbox(d, e);
             }),
    };
}

} // namespace talvenor::testing
