// mirelo-erase's argument parsing on any list of arguments (the input split at zero
// bytes, each argument taken as the tool takes argv): it answers with a usage error or
// accepts, and accepts only a list that names two files and an output.
#include "erasecommand.h"
#include "filenames.h"
#include "fuzzsupport.h"

#include <QByteArray>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QStringList arguments;
    for (const QByteArray& part :
         QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)).split('\0'))
        arguments += FileNames::fromArgument(part);
    if (FileNames::bytesOf(arguments.join(QChar(0))) !=
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)))
        Fuzz::broken("argument bytes survive the trip through text");
    const std::optional<QString> problem = EraseCommand::checkArguments(arguments);
    const bool help = arguments.contains("-h") || arguments.contains("--help");
    if (!problem && !help && arguments.size() < 3)
        Fuzz::broken("accepted arguments name an input, a mask and an output");
    if (problem && problem->isEmpty())
        Fuzz::broken("a usage error says what is wrong");
    return 0;
}
