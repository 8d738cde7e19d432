#include "app/startup/CommandLine.h"

#include "config/pm_config.h"
#include "engine/tls/TlsAuthority.h"

#include <QCommandLineParser>

#include <cstdio>

namespace {

// Qt's options of a graphical program that take a value, and those that do not. QApplication
// reads them from argv itself; the parser only has to let them pass.
const char* const QtValueOptions[] = {
    "platform",        "platformpluginpath", "platformtheme", "plugin",
    "qwindowgeometry", "qwindowicon",        "qwindowtitle",  "geometry",
    "style",           "stylesheet",         "session",       "display"};
const char* const QtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

void AddQtOptions(QCommandLineParser& parser)
{
    for (const char* name : QtValueOptions) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : QtFlagOptions) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

// The parser names the program after the application object, which does not exist yet.
std::string UsageText(const QCommandLineParser& parser)
{
    QString text = parser.helpText();
    text = text.mid(text.indexOf(QLatin1Char('\n')));
    return "Usage: trabix [options]" + text.toStdString();
}

}  // namespace

TCommandLine ParseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("TCP port mapper with traffic log. Without options it opens its window."));
    // "-headless" and Qt's "-platform" alike.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the program's version and exit."));
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("Use FILE as the settings file."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption headless(
        QStringLiteral("headless"),
        QStringLiteral("Run without a window: start every channel whose Map is checked and "
                       "write the log lines to standard output."));
    const QCommandLineOption api(
        QStringLiteral("api"),
        QStringLiteral("Serve the control API on [ADDR:]PORT (address 127.0.0.1 unless given, "
                       "port 0: any free port); overrides ApiListen of the settings."),
        QStringLiteral("[ADDR:]PORT"));
    const QCommandLineOption exportCa(
        QStringLiteral("export-ca"),
        QStringLiteral("Write the certificate of the local certificate authority (the one TLS "
                       "channels issue their certificates from) to FILE as PEM and exit; the "
                       "authority is made beside the settings file when there is none."),
        QStringLiteral("FILE"));
    parser.addOptions({help, version, config, headless, api, exportCa});
    AddQtOptions(parser);

    TCommandLine result;
    result.Usage = UsageText(parser);
    if (!parser.parse(arguments)) {
        result.Action = TCommandLine::TAction::Fail;
        result.Message = parser.errorText().toStdString();
    } else if (!parser.positionalArguments().isEmpty()) {
        result.Action = TCommandLine::TAction::Fail;
        result.Message = "Unexpected argument '" +
            parser.positionalArguments().constFirst().toStdString() + "'.";
    } else if (parser.isSet(help)) {
        result.Action = TCommandLine::TAction::Help;
    } else if (parser.isSet(version)) {
        result.Action = TCommandLine::TAction::Version;
    } else if (parser.isSet(config) && parser.value(config).isEmpty()) {
        result.Action = TCommandLine::TAction::Fail;
        result.Message = "--config needs the name of a settings file.";
    } else if (parser.isSet(api) && parser.value(api).isEmpty()) {
        result.Action = TCommandLine::TAction::Fail;
        result.Message = "--api needs a port, optionally with an address: [ADDR:]PORT.";
    } else if (parser.isSet(exportCa) && parser.value(exportCa).isEmpty()) {
        result.Action = TCommandLine::TAction::Fail;
        result.Message = "--export-ca needs the name of the file to write.";
    } else if (parser.isSet(exportCa)) {
        result.Action = TCommandLine::TAction::ExportCa;
        result.ExportFile = parser.value(exportCa).toStdString();
    }
    result.Headless = parser.isSet(headless);
    result.ConfigFile = parser.value(config).toStdString();
    result.ApiListen = parser.value(api).toStdString();
    return result;
}

TCommandLine ParseCommandLine(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return ParseCommandLine(arguments);
}

std::string VersionText()
{
    return std::string("Trabix ") + TRABIX_VERSION;
}

int FinishCommandLine(const TCommandLine& commandLine)
{
    switch (commandLine.Action) {
        case TCommandLine::TAction::Help: std::fputs(commandLine.Usage.c_str(), stdout); return 0;
        case TCommandLine::TAction::Version: std::printf("%s\n", VersionText().c_str()); return 0;
        case TCommandLine::TAction::Fail:
        case TCommandLine::TAction::ExportCa:
        case TCommandLine::TAction::Run: break;
    }
    std::fprintf(stderr, "trabix: %s\n%s", commandLine.Message.c_str(), commandLine.Usage.c_str());
    return 2;
}

int ExportLocalAuthority(const std::string& AFile)
{
    std::string problem;
    const std::shared_ptr<TTlsAuthority> authority =
        TTlsAuthority::Open(trabix::SettingsFolder(), problem);
    if (!authority) {
        std::fprintf(stderr, "trabix: no local certificate authority: %s\n", problem.c_str());
        return 1;
    }
    if (const std::string failure = authority->ExportCertificate(AFile); !failure.empty()) {
        std::fprintf(stderr, "trabix: %s\n", failure.c_str());
        return 1;
    }
    std::printf("Wrote the local certificate authority (SHA-256 %s) to %s\n",
                authority->Fingerprint().c_str(), AFile.c_str());
    return 0;
}
