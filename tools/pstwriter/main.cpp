// pstwriter: writes a PST file from a JSON description, or a large generated store.
//   pstwriter description.json out.pst
//   pstwriter --generate N out.pst [--encoding none|compressible|cyclic] [--seed S]
//             [--terminators] [--spread-pages]
#include "description.h"
#include "generate.h"

#include <QFile>

#include <cstdio>
#include <cstring>
#include <string>

using namespace talvenor::pstwriter;

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: pstwriter DESCRIPTION.json OUT.pst\n"
                 "       pstwriter --generate N OUT.pst [--encoding none|compressible|cyclic] "
                 "[--format unicode|ansi|ost] [--seed S] [--terminators] [--spread-pages]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc >= 4 && std::strcmp(argv[1], "--generate") == 0) {
            char* end = nullptr;
            const unsigned long long n = std::strtoull(argv[2], &end, 10);
            if (!end || *end)
                return usage();
            Options options;
            options.displayName = u"Generated mail";
            std::uint32_t seed = 1;
            for (int i = 4; i < argc; i += 2) {
                const std::string key = argv[i];
                if (key == "--terminators" || key == "--spread-pages") {
                    (key == "--terminators" ? options.terminators : options.spreadPages) = true;
                    --i; // a flag without a value
                    continue;
                }
                if (i + 1 >= argc)
                    return usage();
                const std::string value = argv[i + 1];
                if (key == "--encoding" &&
                    (value == "none" || value == "compressible" || value == "cyclic"))
                    options.encoding = value == "none"     ? Encoding::None
                                       : value == "cyclic" ? Encoding::Cyclic
                                                           : Encoding::Compressible;
                else if (key == "--format" &&
                         (value == "unicode" || value == "ansi" || value == "ost"))
                    options.format = value == "ansi"  ? Format::Ansi
                                     : value == "ost" ? Format::Ost4k
                                                      : Format::Unicode;
                else if (key == "--seed")
                    seed = std::uint32_t(std::stoul(value));
                else
                    return usage();
            }
            const GenerateStats s = generateStore(argv[3], n, options, seed);
            std::printf("wrote %llu messages (%llu attachments) to %s\n",
                        static_cast<unsigned long long>(s.messages),
                        static_cast<unsigned long long>(s.attachments), argv[3]);
            return 0;
        }
        if (argc != 3)
            return usage();
        QFile in(QString::fromLocal8Bit(argv[1]));
        if (!in.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "pstwriter: cannot read %s: %s\n", argv[1],
                         in.errorString().toLocal8Bit().constData());
            return 1;
        }
        const StoreDescription store = parseDescription(in.readAll());
        writePst(store, argv[2]);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pstwriter: %s\n", e.what());
        return 1;
    }
}
