#include "commands.h"

namespace talkhub_cli {

void addCommands(CLI::App& app, Session* session, CommandArguments& arguments) {
    CommandArguments& a = arguments;
    CLI::App* talk = app.add_subcommand("talk", "push to talk: hold the floor for SECONDS (or until Enter)");
    talk->add_option("seconds", a.seconds, "how long to talk")->check(CLI::PositiveNumber);
    talk->callback([&a, session] {
        if (session == nullptr) return;
        a.ok = session->talk(a.seconds);
    });

    CLI::App* vox = app.add_subcommand("vox", "voice-activated microphone for SECONDS (or until Enter)");
    vox->add_option("seconds", a.seconds, "how long to stay voice-activated")->check(CLI::PositiveNumber);
    vox->add_option("--threshold", a.threshold, "0 (sensitive) to 9 (strict)")->check(CLI::Range(0, 9));
    vox->add_option("--hangover", a.hangoverMs, "silence in ms that gives the floor back")
        ->check(CLI::NonNegativeNumber);
    vox->callback([&a, session] {
        if (session == nullptr) return;
        a.ok = session->vox(a.threshold, a.hangoverMs, a.seconds);
    });

    CLI::App* enter = app.add_subcommand("enter", "enter a talk group");
    enter->add_option("group", a.id, "group id")->required();
    enter->callback([&a, session] {
        if (session == nullptr) return;
        a.ok = session->enter(a.id);
    });

    CLI::App* call = app.add_subcommand("call", "place a temporary call to a user");
    call->add_option("user", a.id, "user id")->required();
    call->callback([&a, session] {
        if (session == nullptr) return;
        a.ok = session->call(a.id);
    });

    app.add_subcommand("hangup", "end the temporary call")->callback([&a, session] {
        if (session == nullptr) return;
        session->hangup();
    });

    CLI::App* meeting = app.add_subcommand("meeting", "place a meeting call to a comma-separated list of user ids");
    meeting->add_option("users", a.text, "for example 1002,1003")->required();
    meeting->callback([&a, session] {
        if (session == nullptr) return;
        a.ok = session->meeting(a.text);
    });

    CLI::App* endMeeting = app.add_subcommand("end-meeting", "end a meeting call");
    endMeeting->add_option("meeting", a.id, "meeting id")->required();
    endMeeting->callback([&a, session] {
        if (session == nullptr) return;
        session->endMeeting(a.id);
    });

    CLI::App* hear = app.add_subcommand("hear", "hear only these groups ('all': every group)");
    hear->add_option("groups", a.words, "group ids, or all")->required();
    hear->callback([&a, session] {
        if (session == nullptr) return;
        a.ok = session->hear(a.words);
    });

    CLI::App* record = app.add_subcommand("record", "record these groups to MP3 in --record-dir");
    record->add_option("groups", a.words, "group ids")->required();
    record->callback([&a, session] {
        if (session == nullptr) return;
        a.ok = session->record(a.words);
    });

    CLI::App* volume = app.add_subcommand("volume", "playback volume, 0 to 100 (5 is unity)");
    volume->add_option("level", a.level)->required()->check(CLI::Range(0, 100));
    volume->callback([&a, session] {
        if (session == nullptr) return;
        session->volume(a.level);
    });

    CLI::App* micVolume = app.add_subcommand("mic-volume", "microphone volume (100 is unity)");
    micVolume->add_option("level", a.level)->required()->check(CLI::Range(0, 1000));
    micVolume->callback([&a, session] {
        if (session == nullptr) return;
        session->micVolume(a.level);
    });

    CLI::App* wait = app.add_subcommand("wait", "listen for SECONDS");
    wait->add_option("seconds", a.waitSeconds)->required()->check(CLI::NonNegativeNumber);
    wait->callback([&a, session] {
        if (session == nullptr) return;
        session->wait(a.waitSeconds);
    });

    app.add_subcommand("quit", "log out and end")->callback([&a] { a.quit = true; });
}

}  // namespace talkhub_cli
