#include "description.h"

#include "ltp.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <cmath>
#include <cstring>
#include <map>
#include <optional>

namespace talvenor::pstwriter {

namespace {

using namespace talvenor::mapi;

// Every folder written, by its path from the top, for the rows that name them again.
using FolderPaths = std::map<std::u16string, FolderId>;

void writeFolders(Writer& w, FolderId parent, const std::u16string& parentPath,
                  const std::vector<FolderDescription>& folders, FolderPaths& paths) {
    for (const FolderDescription& f : folders) {
        const FolderId id = w.addFolder(parent, f.name, f.containerClass, f.special);
        const std::u16string path = parentPath.empty() ? f.name : parentPath + u"/" + f.name;
        paths.emplace(path, id);
        if (f.emptyContentsTable)
            w.leaveContentsTableEmpty(id);
        for (const Message& m : f.messages)
            w.addMessage(id, m);
        writeFolders(w, id, path, f.folders, paths);
    }
}

void writeAlsoListed(Writer& w, const std::u16string& parentPath,
                     const std::vector<FolderDescription>& folders, const FolderPaths& paths) {
    for (const FolderDescription& f : folders) {
        const std::u16string path = parentPath.empty() ? f.name : parentPath + u"/" + f.name;
        for (const std::u16string& listed : f.alsoLists) {
            const auto it = paths.find(listed);
            if (it == paths.end())
                throw Error("folder \"" + toUtf8(path) + "\" lists \"" + toUtf8(listed) +
                            "\", which the store does not have");
            w.listFolderUnder(paths.at(path), it->second);
        }
        writeAlsoListed(w, path, f.folders, paths);
    }
}

void validateFolders(const std::vector<FolderDescription>& folders) {
    for (const FolderDescription& f : folders) {
        if (f.name.find(u'\0') != std::u16string::npos)
            throw Error("folder name \"" + toUtf8(f.name.substr(0, f.name.find(u'\0'))) +
                        "...\" contains a NUL character");
        for (const Message& m : f.messages)
            Writer::validate(m);
        validateFolders(f.folders);
    }
}

struct Parser {
    std::string where;

    [[noreturn]] void fail(const std::string& what) const { throw Error(where + ": " + what); }

    bool flag(const QJsonObject& o, const char* field, bool absent) const {
        const QJsonValue v = o.value(field);
        if (v.isUndefined())
            return absent;
        if (!v.isBool())
            fail(std::string("\"") + field + "\" must be true or false");
        return v.toBool();
    }

    std::vector<Message> messages(const QJsonObject& o) {
        std::vector<Message> out;
        int n = 0;
        for (const QJsonValue& v : o.value("messages").toArray()) {
            const std::string s = where;
            where += ", message " + std::to_string(++n);
            out.push_back(message(v.toObject()));
            where = s;
        }
        return out;
    }

    std::u16string str(const QJsonValue& v, const char* field) const {
        if (!v.isString())
            fail(std::string("\"") + field + "\" must be a string");
        return v.toString().toStdU16String();
    }

    std::uint64_t time(const QJsonValue& v, const char* field) const {
        if (v.isDouble())
            return build::filetime(std::int64_t(v.toDouble()));
        const QDateTime t = QDateTime::fromString(v.toString(), Qt::ISODate);
        if (!t.isValid())
            fail(std::string("\"") + field + "\" is not a date and time (ISO 8601)");
        return build::filetime(t.toSecsSinceEpoch());
    }

    Bytes bytes(const QJsonObject& o) const {
        if (o.contains("text")) {
            const QByteArray b = o.value("text").toString().toUtf8();
            return Bytes(b.begin(), b.end());
        }
        if (o.contains("base64")) {
            const auto r = QByteArray::fromBase64Encoding(o.value("base64").toString().toLatin1(),
                                                          QByteArray::AbortOnBase64DecodingErrors);
            if (!r)
                fail("\"base64\" is not valid base64");
            return Bytes(r.decoded.begin(), r.decoded.end());
        }
        if (o.contains("hex")) {
            const QByteArray b = QByteArray::fromHex(o.value("hex").toString().toLatin1());
            return Bytes(b.begin(), b.end());
        }
        if (o.contains("size")) {
            // A generated pattern of the given size, for attachments of any size.
            const double n = o.value("size").toDouble(-1);
            if (n < 0 || n > 2e9)
                fail("\"size\" must be between 0 and 2000000000");
            Bytes b(static_cast<std::size_t>(n));
            std::uint32_t x = 0x1234567;
            for (auto& c : b) {
                x = x * 1664525u + 1013904223u;
                c = std::uint8_t(x >> 24);
            }
            return b;
        }
        return {};
    }

    static std::optional<std::uint16_t> typeByName(const QString& name) {
        static const std::map<QString, std::uint16_t> types = {
            {"int16", PtInteger16},   {"int32", PtInteger32},   {"float", PtFloating32},
            {"double", PtFloating64}, {"currency", PtCurrency}, {"apptime", PtFloatingTime},
            {"error", PtErrorCode},   {"bool", PtBoolean},      {"int64", PtInteger64},
            {"string8", PtString8},   {"unicode", PtUnicode},   {"time", PtTime},
            {"guid", PtGuid},         {"binary", PtBinary}};
        QString n = name;
        bool multi = false;
        if (n.startsWith("multi:")) {
            multi = true;
            n = n.mid(6);
        }
        auto it = types.find(n);
        if (it == types.end()) {
            bool ok = false;
            const uint t = name.toUInt(&ok, 0);
            if (ok && t <= 0xFFFF)
                return std::uint16_t(t);
            return std::nullopt;
        }
        return std::uint16_t(it->second | (multi ? PtMultiFlag : 0));
    }

    Bytes scalar(std::uint16_t type, const QJsonValue& v) const {
        switch (baseType(type)) {
        case PtInteger16:
            return le16(std::uint16_t(v.toInteger()));
        case PtInteger32:
        case PtErrorCode:
            return le32(std::uint32_t(v.toInteger()));
        case PtBoolean:
            return le16(v.toBool() ? 1 : 0);
        case PtFloating32: {
            const float f = float(v.toDouble());
            std::uint32_t u;
            std::memcpy(&u, &f, 4);
            return le32(u);
        }
        case PtFloating64:
        case PtFloatingTime: {
            const double f = v.toDouble();
            std::uint64_t u;
            std::memcpy(&u, &f, 8);
            return le64(u);
        }
        case PtCurrency:
            return le64(std::uint64_t(std::llround(v.toDouble() * 10000)));
        case PtInteger64:
            return le64(std::uint64_t(v.isString() ? v.toString().toLongLong() : v.toInteger()));
        case PtTime:
            return le64(time(v, "value"));
        case PtGuid: {
            const auto g = Guid::parse(v.toString().toStdString());
            if (!g)
                fail("\"" + v.toString().toStdString() + "\" is not a GUID");
            return Bytes(g->bytes.begin(), g->bytes.end());
        }
        case PtUnicode:
            return utf16le(str(v, "value"));
        case PtString8: {
            const QByteArray b = v.toString().toLatin1();
            return Bytes(b.begin(), b.end());
        }
        case PtBinary:
            if (v.isObject())
                return bytes(v.toObject());
            {
                const QByteArray b = QByteArray::fromBase64(v.toString().toLatin1());
                return Bytes(b.begin(), b.end());
            }
        default:
            fail("property type " + std::to_string(type) + " cannot be given in a description");
        }
    }

    Property property(const QJsonObject& o) const {
        Property p;
        const QString typeName = o.value("type").toString();
        const auto type = typeByName(typeName);
        if (!type)
            fail("unknown property type \"" + typeName.toStdString() + "\"");
        p.type = *type;
        if (o.contains("id")) {
            bool ok = false;
            const uint id = o.value("id").toString().toUInt(&ok, 0);
            if (!ok || id > 0xFFFF)
                fail("\"id\" must be a property id such as \"0x0037\"");
            p.id = std::uint16_t(id);
        } else {
            PropertyName n;
            const QString g = o.value("guid").toString();
            if (g == "PS_PUBLIC_STRINGS")
                n.guid = PS_PUBLIC_STRINGS;
            else if (g == "PSETID_Common")
                n.guid = PSETID_Common;
            else if (g == "PS_MAPI")
                n.guid = PS_MAPI;
            else if (auto parsed = Guid::parse(g.toStdString()))
                n.guid = *parsed;
            else
                fail("a named property needs \"guid\" (a GUID or a well-known set name)");
            if (o.contains("lid"))
                n.lid = std::uint32_t(o.value("lid").toInteger());
            else
                n.name = str(o.value("name"), "name");
            p.id = 0x8000;
            p.name = n;
        }
        if (isMultiValued(p.type)) {
            for (const QJsonValue& v : o.value("values").toArray())
                p.values.push_back(scalar(p.type, v));
        } else {
            p.value = scalar(p.type, o.value("value"));
        }
        return p;
    }

    Message message(const QJsonObject& o) {
        Message m;
        m.setUnicode(tags::MessageClass, o.value("class").toString("IPM.Note").toStdU16String());
        if (o.contains("subject"))
            build::setSubject(m, str(o.value("subject"), "subject"),
                              o.value("subjectMarker").toBool(true));
        if (o.contains("from")) {
            const QJsonObject f = o.value("from").toObject();
            m.setUnicode(tags::SenderName, f.value("name").toString().toStdU16String());
            m.setUnicode(tags::SenderEmailAddress, f.value("address").toString().toStdU16String());
            m.setUnicode(tags::SenderAddressType,
                         f.value("type").toString("SMTP").toStdU16String());
            m.setUnicode(0x0042, f.value("name").toString().toStdU16String());
            m.setUnicode(0x0065, f.value("address").toString().toStdU16String());
            m.setUnicode(0x0064, f.value("type").toString("SMTP").toStdU16String());
        }
        const std::pair<const char*, std::uint32_t> kinds[] = {{"to", 1}, {"cc", 2}, {"bcc", 3}};
        for (const auto& [key, type] : kinds)
            for (const QJsonValue& r : o.value(key).toArray()) {
                const QJsonObject ro = r.toObject();
                build::addRecipient(m, type, ro.value("name").toString().toStdU16String(),
                                    ro.value("address").toString().toStdU16String(),
                                    ro.value("type").toString("SMTP").toStdU16String());
            }
        if (o.contains("submitted"))
            m.setTime(tags::ClientSubmitTime, time(o.value("submitted"), "submitted"));
        if (o.contains("delivered"))
            m.setTime(tags::MessageDeliveryTime, time(o.value("delivered"), "delivered"));
        if (o.contains("body"))
            m.setUnicode(tags::Body, str(o.value("body"), "body"));
        if (o.contains("html")) {
            const QByteArray h = o.value("html").toString().toUtf8();
            m.setBinary(tags::Html, Bytes(h.begin(), h.end()));
            m.setInt32(tags::InternetCodepage, 65001);
        }
        if (o.contains("rtf"))
            m.setBinary(tags::RtfCompressed,
                        build::rtfCompressed(o.value("rtf").toString().toStdString()));
        if (o.contains("flags"))
            m.setInt32(tags::MessageFlags, std::int32_t(o.value("flags").toInteger()));
        if (o.contains("importance"))
            m.setInt32(tags::Importance, std::int32_t(o.value("importance").toInteger()));
        if (o.contains("keywords")) {
            std::vector<std::u16string> k;
            for (const QJsonValue& v : o.value("keywords").toArray())
                k.push_back(str(v, "keywords"));
            build::setNamedStrings(m, PropertyName{PS_PUBLIC_STRINGS, std::nullopt, u"Keywords"},
                                   k);
        }
        for (const QJsonValue& v : o.value("properties").toArray())
            m.set(property(v.toObject()));
        int n = 0;
        for (const QJsonValue& v : o.value("attachments").toArray()) {
            const QJsonObject a = v.toObject();
            const std::string saved = where;
            where += ", attachment " + std::to_string(++n);
            if (a.contains("message")) {
                build::addEmbedded(m, a.value("name").toString("Attached message").toStdU16String(),
                                   message(a.value("message").toObject()));
            } else if (a.contains("ole")) {
                build::addOleObject(m, a.value("name").toString("Object").toStdU16String(),
                                    bytes(a.value("ole").toObject()));
            } else {
                build::addAttachment(m, str(a.value("fileName"), "fileName"),
                                     a.value("mimeType").toString().toStdString(), bytes(a),
                                     a.value("contentId").toString().toStdString());
            }
            where = saved;
        }
        return m;
    }

    FolderDescription folder(const QJsonObject& o) {
        FolderDescription f;
        const std::string saved = where;
        f.name = str(o.value("name"), "name");
        where += " / " + toUtf8(f.name);
        f.containerClass = o.value("class").toString("IPF.Note").toStdU16String();
        static const std::map<QString, SpecialFolder> special = {
            {"inbox", SpecialFolder::Inbox},
            {"sent", SpecialFolder::SentItems},
            {"deleted", SpecialFolder::DeletedItems},
            {"outbox", SpecialFolder::Outbox},
            {"drafts", SpecialFolder::Drafts}};
        if (o.contains("special")) {
            auto it = special.find(o.value("special").toString());
            if (it == special.end())
                fail("unknown special folder \"" + o.value("special").toString().toStdString() +
                     "\"");
            f.special = it->second;
        }
        f.emptyContentsTable = flag(o, "emptyContentsTable", false);
        for (const QJsonValue& v : o.value("alsoLists").toArray())
            f.alsoLists.push_back(str(v, "alsoLists"));
        f.messages = messages(o);
        for (const QJsonValue& v : o.value("folders").toArray())
            f.folders.push_back(folder(v.toObject()));
        where = saved;
        return f;
    }
};

} // namespace

void writePst(const StoreDescription& store, const std::string& path) {
    validateFolders(store.folders);
    for (const Message& m : store.messages)
        Writer::validate(m);
    Writer w(path, store.options);
    for (const Message& m : store.messages)
        w.addMessage(w.topFolder(), m);
    FolderPaths paths{{u"", w.topFolder()}};
    writeFolders(w, w.topFolder(), u"", store.folders, paths);
    writeAlsoListed(w, u"", store.folders, paths);
    w.finish();
}

StoreDescription parseDescription(const QByteArray& json) {
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (doc.isNull())
        throw Error("the description is not valid JSON: " + err.errorString().toStdString() +
                    " (at byte " + std::to_string(err.offset) + ")");
    const QJsonObject o = doc.object();
    StoreDescription s;
    Parser p{"store"};
    s.options.displayName = o.value("displayName").toString("Personal Folders").toStdU16String();
    const QString format = o.value("format").toString("unicode");
    if (format == "ansi")
        s.options.format = Format::Ansi;
    else if (format == "ost")
        s.options.format = Format::Ost4k;
    else if (format != "unicode")
        p.fail("\"format\" must be \"unicode\", \"ansi\" or \"ost\"");
    s.options.codePage = std::uint32_t(o.value("codePage").toInt(1252));
    if (!writableCodePage(s.options.codePage))
        p.fail("\"codePage\" must be 1250, 1251, 1252 or 932");
    const QString strings = o.value("messageStrings").toString("store");
    if (strings == "string8")
        s.options.messageStrings = MessageStrings::String8;
    else if (strings == "unicode")
        s.options.messageStrings = MessageStrings::Unicode;
    else if (strings != "store")
        p.fail("\"messageStrings\" must be \"store\", \"string8\" or \"unicode\"");
    const QString enc = o.value("encoding").toString("compressible");
    if (enc == "none")
        s.options.encoding = Encoding::None;
    else if (enc == "cyclic")
        s.options.encoding = Encoding::Cyclic;
    else if (enc != "compressible")
        p.fail("\"encoding\" must be \"compressible\", \"cyclic\" or \"none\"");
    s.options.terminators = p.flag(o, "terminators", false);
    if (o.contains("topFolderName"))
        s.options.topFolderName = p.str(o.value("topFolderName"), "topFolderName");
    s.options.ipmSubtreeEntryId = p.flag(o, "ipmSubtreeEntryId", true);
    s.messages = p.messages(o);
    for (const QJsonValue& v : o.value("folders").toArray())
        s.folders.push_back(p.folder(v.toObject()));
    return s;
}

} // namespace talvenor::pstwriter
