// talkhub-cli: a host program on the library's public header. It logs in, prints every
// event as it arrives, and runs one command from its command line, or reads commands from
// its standard input, one per line.
#include <alsa/asoundlib.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "commands.h"
#include "devices.h"
#include "events.h"
#include "microphone.h"
#include "password.h"
#include "session.h"
#include "speaker.h"
#include "talkhub.h"

namespace {

using namespace talkhub_cli;

void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

// Reads commands until the input ends or "quit"; kExitOk, or the code of the last failure.
int prompt(Session& session) {
    int status = kExitOk;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        CLI::App commands{"commands"};
        commands.require_subcommand(1, 1);
        CommandArguments arguments;
        addCommands(commands, &session, arguments);
        try {
            commands.parse(line, false);
        } catch (const CLI::CallForHelp& help) {
            commands.exit(help);
            continue;
        } catch (const CLI::ParseError& error) {
            std::cerr << "talkhub-cli: " << error.what() << " (try: --help)" << std::endl;
            status = kExitUsage;
            continue;
        }
        if (!arguments.ok) status = kExitFailed;
        if (arguments.quit) break;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "talkhub-cli: push-to-talk from the command line. Logs in, prints every event as it arrives, then runs "
        "the COMMAND given, or reads commands, one per line, from standard input until 'quit'."};
    LoginOptions options;
    bool json = false;
    bool alsaMessages = false;
    std::string micFile;
    std::string speakerFile;
    std::string servers = "127.0.0.1";
    unsigned int port = 13001;
    app.add_option("-s,--server", servers,
                   "signalling server: HOST, HOST:PORT or [IPv6]:PORT; several, comma-separated, are tried in order, "
                   "and a broken connection logs in to the next")
        ->capture_default_str();
    app.add_option("-p,--port", port, "signalling port of a server given without one")->capture_default_str();
    app.set_version_flag("--version", std::string("talkhub-cli ") + TALKHUB_VERSION_TEXT);
    // Checked after a command's own --help, which needs no account.
    app.add_option("-u,--user", options.user, "account (required)");
    PasswordSources passwords;
    app.add_option("--password-file", passwords.file, "read the password from the first line of this file")
        ->check(CLI::ExistingFile);
    app.add_option("-w,--password", passwords.given,
                   "password, visible to every user of this machine (default: --password-file, else "
                   "$TALKHUB_PASSWORD, else asked on a terminal, else the account name)");
    app.add_option("--record-dir", options.recordDir, "folder for the MP3 recordings of the groups chosen by 'record'");
    bool noMic = false;
    bool noSpeaker = false;
    bool noReconnect = false;
    CLI::Option* micOption =
        app.add_option("--mic-file", micFile, "talk from this WAV (16-bit PCM) or raw (16-bit mono 8 kHz) file")
            ->check(CLI::ExistingFile);
    CLI::Option* speakerOption =
        app.add_option("--speaker-file", speakerFile, "write what is heard to this WAV file (16-bit mono 8 kHz)");
    app.add_flag("--no-mic", noMic, "no microphone: a listen-only host (talk sends silence)")->excludes(micOption);
    app.add_flag("--no-speaker", noSpeaker, "no speaker: a talk-only host (what is heard is discarded)")
        ->excludes(speakerOption);
    app.add_flag("--no-reconnect", noReconnect, "'wait' does not log in again after a broken connection");
    app.add_flag("--json", json, "print one JSON object per line for each event");
    app.add_flag("--alsa-messages", alsaMessages, "show the sound library's own diagnostics");
    // Runs while the command line is read, before the account is required.
    app.add_flag_callback(
        "--list-devices",
        [] {
            listDevices(std::cout);
            throw CLI::Success();
        },
        "show the sound cards and devices ALSA and SDL see, then exit");
    app.prefix_command();
    {
        CLI::App listing;
        CommandArguments unused;
        addCommands(listing, nullptr, unused);
        std::string footer = "Commands (COMMAND --help for its arguments):\n";
        for (const CLI::App* command : listing.get_subcommands({})) {
            std::string name = "  " + command->get_name();
            name.resize(16, ' ');
            footer += name + command->get_description() + "\n";
        }
        app.footer(footer);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Help and the device list end well; every mistake on the command line is a usage error.
        return app.exit(error) == 0 ? kExitOk : kExitUsage;
    }

    // The command is checked before anything connects.
    const std::vector<std::string> command = app.remaining_for_passthrough();
    if (!command.empty()) {
        CommandArguments check;
        CLI::App validator{"talkhub-cli"};
        validator.require_subcommand(1, 1);
        addCommands(validator, nullptr, check);
        try {
            validator.parse(std::vector<std::string>(command));
        } catch (const CLI::CallForHelp& help) {
            return validator.exit(help);
        } catch (const CLI::ParseError& error) {
            std::cerr << "talkhub-cli: " << command.back() << ": " << error.what() << " (try --help)" << std::endl;
            return kExitUsage;
        }
    }

    if (options.user.empty()) {
        std::cerr << "talkhub-cli: --user is required (try --help)" << std::endl;
        return kExitUsage;
    }
    std::optional<std::string> password = choosePassword(passwords, options.user);
    if (!password) return kExitUsage;
    options.password = std::move(*password);

    FileMicrophone microphone;
    if (noMic || !micFile.empty()) {
        const std::string error = noMic ? microphone.useNone() : microphone.use(micFile);
        if (!error.empty()) {
            std::cerr << (noMic ? "talkhub-cli: --no-mic: " : "talkhub-cli: --mic-file: ") << error << std::endl;
            return kExitUsage;
        }
    }
    // Declared before the session, so that playback has closed when the file is written.
    FileSpeaker speaker;
    if (noSpeaker) FileSpeaker::useNone();
    if (!speakerFile.empty()) {
        const std::string error = speaker.use(speakerFile);
        if (!error.empty()) {
            std::cerr << "talkhub-cli: --speaker-file: " << error << std::endl;
            return kExitUsage;
        }
    }
    if (!alsaMessages) snd_lib_error_set_handler(quietAlsa);
    Events::instance().setJson(json);
    options.servers = parseServers(servers, port);
    if (options.servers.empty()) {
        std::cerr << "talkhub-cli: --server: '" << servers << "' is no list of HOST[:PORT]" << std::endl;
        return kExitUsage;
    }
    options.reconnect = !noReconnect;

    Session session;
    const ExitCode login = session.login(options);
    if (login != kExitOk) return login;
    if (command.empty()) return prompt(session);
    CLI::App commands{"talkhub-cli"};
    commands.require_subcommand(1, 1);
    CommandArguments arguments;
    addCommands(commands, &session, arguments);
    commands.parse(std::vector<std::string>(command));
    return arguments.ok ? kExitOk : kExitFailed;
}
