#include "generate.h"

#include <array>

namespace talvenor::pstwriter {

namespace {

using namespace talvenor::mapi;

class Rng {
public:
    explicit Rng(std::uint32_t seed) : x_(seed * 2654435761u + 1) {}
    std::uint32_t next() {
        x_ ^= x_ << 13;
        x_ ^= x_ >> 17;
        x_ ^= x_ << 5;
        return x_;
    }
    std::size_t below(std::size_t n) { return next() % n; }

private:
    std::uint32_t x_;
};

const std::array<const char16_t*, 12> kFirst = {u"Anna",   u"Bruno", u"Chiara", u"Dmitri",
                                                u"Elif",   u"Farid", u"Greta",  u"Hiro",
                                                u"Ingrid", u"Jonas", u"Keiko",  u"Luis"};
const std::array<const char16_t*, 10> kLast = {u"Berg",     u"Costa",    u"Dahl",   u"Ekström",
                                               u"Fischer",  u"García",   u"Hansen", u"Ivanova",
                                               u"Kowalski", u"Lindqvist"};
const std::array<const char16_t*, 10> kTopics = {
    u"Quarterly figures", u"Team offsite",   u"Invoice 4471",    u"Server maintenance",
    u"Lunch on Friday?",  u"Contract draft", u"Travel expenses", u"Release notes 2.3",
    u"Customer feedback", u"Budget review"};
const std::array<const char16_t*, 8> kWords = {u"please",  u"review", u"the", u"attached",
                                               u"numbers", u"before", u"our", u"meeting"};

std::u16string person(Rng& r) {
    return std::u16string(kFirst[r.below(kFirst.size())]) + u" " + kLast[r.below(kLast.size())];
}

std::u16string address(const std::u16string& name) {
    std::u16string a;
    for (char16_t c : name)
        a += c == u' ' ? u'.' : (c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c);
    return a + u"@example.com";
}

Message makeMessage(Rng& r, std::uint64_t i, bool withAttachment, bool withEmbedded) {
    Message m;
    m.setUnicode(tags::MessageClass, u"IPM.Note");
    const std::u16string topic = kTopics[r.below(kTopics.size())];
    build::setSubject(m, (r.below(3) == 0 ? u"RE: " : u"") + topic + u" #" +
                             mapi::fromUtf8(std::to_string(i)));
    const std::u16string from = person(r);
    m.setUnicode(tags::SenderName, from);
    m.setUnicode(tags::SenderEmailAddress, address(from));
    m.setUnicode(tags::SenderAddressType, u"SMTP");
    const std::int64_t when = 1700000000 + std::int64_t(i) * 617;
    m.setTime(tags::ClientSubmitTime, build::filetime(when));
    m.setTime(tags::MessageDeliveryTime, build::filetime(when + 42));
    m.setInt32(tags::MessageFlags, r.below(4) == 0 ? 0 : 1);
    m.setInt32(tags::Importance, std::int32_t(r.below(3)));
    const std::size_t recipients = 1 + r.below(3);
    for (std::size_t k = 0; k < recipients; ++k) {
        const std::u16string to = person(r);
        build::addRecipient(m, k == 0 ? 1 : 2, to, address(to));
    }
    std::u16string body = u"Hello,\r\n\r\n";
    const std::size_t words = 150 + r.below(600);
    for (std::size_t k = 0; k < words; ++k) {
        body += kWords[r.below(kWords.size())];
        body += (k % 14 == 13) ? u".\r\n" : u" ";
    }
    body += u"\r\n\r\nBest regards,\r\n" + from + u"\r\n";
    m.setUnicode(tags::Body, body);
    const std::string html = "<html><body><p>" + mapi::toUtf8(body) + "</p></body></html>";
    m.setBinary(tags::Html, Bytes(html.begin(), html.end()));
    if (withAttachment) {
        Bytes data(4096 + r.below(200000));
        for (auto& b : data)
            b = std::uint8_t(r.next());
        build::addAttachment(m, u"report-" + mapi::fromUtf8(std::to_string(i)) + u".pdf",
                             "application/pdf", std::move(data));
    }
    if (withEmbedded) {
        Message inner = makeMessage(r, i + 1000000000ULL, false, false);
        build::addEmbedded(m, u"Forwarded message", std::move(inner));
    }
    return m;
}

} // namespace

GenerateStats generateStore(const std::string& path, std::uint64_t messages, Options options,
                            std::uint32_t seed, SubjectMix subjects) {
    Rng r(seed);
    GenerateStats stats;
    Writer w(path, options);
    const FolderId inbox = w.addFolder(w.topFolder(), u"Inbox", u"IPF.Note", SpecialFolder::Inbox);
    const FolderId sent =
        w.addFolder(w.topFolder(), u"Sent Items", u"IPF.Note", SpecialFolder::SentItems);
    const FolderId archive = w.addFolder(w.topFolder(), u"Archive");
    const std::array<FolderId, 3> years = {w.addFolder(archive, u"2022"),
                                           w.addFolder(archive, u"2023"),
                                           w.addFolder(archive, u"2024")};
    for (std::uint64_t i = 0; i < messages; ++i) {
        const bool attach = i % 10 == 3;
        const bool embed = i % 50 == 7;
        Message m = makeMessage(r, i, attach, embed);
        if (i < subjects.same)
            build::setSubject(m, u"Daily report");
        else if (i < subjects.same + subjects.none)
            for (std::uint16_t id : {tags::Subject, tags::SubjectPrefix, tags::NormalizedSubject})
                m.remove(id);
        const std::size_t pick = r.below(10);
        const FolderId f = pick < 5 ? inbox : pick < 7 ? sent : years[pick % 3];
        w.addMessage(f, m);
        ++stats.messages;
        stats.attachments += (attach ? 1 : 0) + (embed ? 1 : 0);
    }
    w.finish();
    return stats;
}

} // namespace talvenor::pstwriter
