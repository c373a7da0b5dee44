#include "reader.h"

#include <QStringDecoder>

#include <algorithm>

namespace talvenor::nativestore {

namespace {

// Drops the marker (U+0001 and the prefix length) in front of a stored subject.
void unmarkSubject(mapi::Property& subject) {
    mapi::Bytes& v = subject.value;
    if (subject.type == mapi::PtUnicode && v.size() >= 4 && v[0] == 0x01 && v[1] == 0x00)
        v.erase(v.begin(), v.begin() + 4);
    else if (subject.type == mapi::PtString8 && v.size() >= 2 && v[0] == 0x01)
        v.erase(v.begin(), v.begin() + 2);
}

void tidyMessageAt(mapi::Message& message, int depth) {
    if (auto* subject = message.find(mapi::tags::Subject))
        unmarkSubject(*subject);
    for (auto& a : message.attachments) {
        // The reader bounds the nesting; this only keeps a copy of a deep chain from recursing
        // without end.
        if (a.embedded && depth < 64) {
            // One the reader shares elsewhere is tidied as a copy; its own, in place (an
            // attached message may carry large attachments of its own).
            if (a.embedded.use_count() != 1)
                a.embedded = std::make_shared<mapi::Message>(*a.embedded);
            tidyMessageAt(*a.embedded, depth + 1);
        }
    }
}

} // namespace

void tidyMessage(mapi::Message& message) {
    tidyMessageAt(message, 0);
}

QString decodeCodepage(const QByteArray& bytes, int codepage) {
    QByteArray name;
    switch (codepage) {
    case 65001:
        name = "UTF-8";
        break;
    case 20127:
        name = "US-ASCII";
        break;
    case 932:
        name = "Shift_JIS";
        break;
    case 936:
        name = "GBK";
        break;
    case 949:
        name = "windows-949";
        break;
    case 950:
        name = "Big5";
        break;
    default:
        if (codepage >= 28591 && codepage <= 28605)
            name = "ISO-8859-" + QByteArray::number(codepage - 28590);
        else
            name = "windows-" + QByteArray::number(codepage);
    }
    QStringDecoder decoder(name.constData());
    if (!decoder.isValid())
        decoder = QStringDecoder("windows-1252");
    if (!decoder.isValid())
        return QString::fromLatin1(bytes);
    return decoder.decode(bytes);
}

std::optional<QString> propertyText(const mapi::Property& property, int codepage) {
    if (property.type == mapi::PtUnicode)
        return QString::fromStdU16String(mapi::fromUtf16le(property.value));
    if (property.type == mapi::PtString8)
        return decodeCodepage(QByteArray(reinterpret_cast<const char*>(property.value.data()),
                                         qsizetype(property.value.size())),
                              codepage);
    return std::nullopt;
}

QString textOf(const std::vector<mapi::Property>& props, std::uint16_t id, int codepage) {
    for (const mapi::Property& p : props)
        if (p.id == id)
            if (auto text = propertyText(p, codepage))
                return *text;
    return {};
}

std::optional<int> declaredCodepage(const std::vector<mapi::Property>& props) {
    // The message's own code page, the one of its Internet form, and the store's code page id.
    for (std::uint16_t id :
         {mapi::tags::MessageCodepage, mapi::tags::InternetCodepage, std::uint16_t(0x66C3)})
        for (const mapi::Property& p : props)
            if (p.id == id && p.type == mapi::PtInteger32 && p.value.size() >= 4)
                if (const auto cp = std::int32_t(mapi::readLe32(p.value.data())); cp > 0)
                    return cp;
    return std::nullopt;
}

} // namespace talvenor::nativestore
