// The C# binding against the real server, under Mono: the scenario of an integrator's first
// dispatch console. Each check prints its name; the exit code is the number that failed.
// The programs come from the environment: TALKHUB_SERVER, TALKHUB_CLI, TALKHUB_HEADER.
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Text.RegularExpressions;
using System.Threading.Tasks;
using TalkHub;

static class BindingTests
{
    static readonly TimeSpan Wait = TimeSpan.FromSeconds(15);
    static int failures;
    static int port;

    static void Check(bool holds, string what)
    {
        Console.WriteLine((holds ? "ok    " : "FAILED ") + what);
        if (!holds) ++failures;
    }

    static T Done<T>(Task<T> task, string what)
    {
        if (!task.Wait(Wait)) throw new TimeoutException(what + ": no answer");
        return task.Result;
    }

    static void Done(Task task, string what)
    {
        if (!task.Wait(Wait)) throw new TimeoutException(what + ": no answer");
    }

    // The code of the refusal the task ended with; 0 when it did not fail.
    static int Refusal(Task task)
    {
        try { task.Wait(Wait); return 0; }
        catch (AggregateException failed) { return failed.InnerException is TalkHubException refused ? refused.Code : 0; }
    }

    static Process Start(string program, string arguments)
    {
        var start = new ProcessStartInfo(program, arguments) { UseShellExecute = false, RedirectStandardOutput = true };
        start.EnvironmentVariables["SDL_AUDIODRIVER"] = "dummy";
        return Process.Start(start);
    }

    // talkhub-cli as another user; the lines it prints go into `lines`.
    static Process Peer(string account, string commands, BlockingCollection<string> lines)
    {
        var peer = Start(Environment.GetEnvironmentVariable("TALKHUB_CLI"),
                         "-u " + account + " -p " + port + " --no-mic --no-speaker --json " + commands);
        Task.Run(() => { string line; while ((line = peer.StandardOutput.ReadLine()) != null) lines.Add(line); lines.CompleteAdding(); });
        return peer;
    }

    static bool Sees(BlockingCollection<string> lines, string text)
    {
        string line;
        while (lines.TryTake(out line, Wait)) if (line.Contains(text)) return true;
        return false;
    }

    static void LogsInEntersTakesAndReleasesTheFloor()
    {
        var bob = new BlockingCollection<string>();
        using (var peer = Peer("bob", "wait 6", bob))
        using (var client = new Client("127.0.0.1", (uint)port))
        {
            Sees(bob, "\"event\":\"login\"");
            Check(Done(client.LoginAsync("alice", "alice"), "login") == "1:Dispatch", "logs in to its first group");
            Check(Refusal(client.EnterGroupAsync(3)) > 0, "a group it is no member of is refused by the server");
            Check(Done(client.EnterGroupAsync(2), "enter") == "2:Field team", "enters a group");
            Done(client.RequestFloorAsync(), "floor");
            Check(Sees(bob, "\"text\":\"2:1001:Alice\""), "takes the floor: a member is told");
            client.ReleaseFloor();
            Check(Sees(bob, "\"text\":\"2:1001\""), "releases the floor: a member is told");
            peer.Kill();
        }
    }

    static void PlacesATemporaryCall()
    {
        var bob = new BlockingCollection<string>();
        using (var peer = Peer("bob", "wait 6", bob))
        using (var client = new Client("127.0.0.1", (uint)port))
        {
            Sees(bob, "\"event\":\"login\"");
            Done(client.LoginAsync("alice", "alice"), "login");
            Done(client.CallAsync(1002), "call");
            Check(Sees(bob, "\"text\":\"1001:Alice\""), "a temporary call reaches the called user");
            client.HangUp();
            Check(Refusal(client.CallAsync(4242)) == Constants.CALL_USER_UNAVAILABLE, "a call to no user is refused");
            peer.Kill();
        }
    }

    static void ARecordedTurnIsReported()
    {
        string folder = Path.Combine(Path.GetTempPath(), "talkhub-dotnet-records-" + Process.GetCurrentProcess().Id);
        var finished = new BlockingCollection<RecordEventArgs>();
        using (var client = new Client("127.0.0.1", (uint)port))
        {
            client.RecordFinished += (sender, notice) => finished.Add(notice);
            Done(client.LoginAsync("alice", "alice"), "login");
            client.Record(folder, 1);
            using (var peer = Peer("bob", "talk 1", new BlockingCollection<string>())) peer.WaitForExit(20000);
            RecordEventArgs record;
            Check(finished.TryTake(out record, Wait), "a finished recording is reported on its event");
            if (record == null) return;
            string[] parts = record.Text.Split(',');
            Check(record.UserId == 1002 && parts[0] == "1:Dispatch" && parts[1] == "1002:Bob", "it names the group and the speaker");
            Check(File.Exists(parts[3]) && new FileInfo(parts[3]).Length > 0, "its file holds the turn");
        }
        Directory.Delete(folder, true);
    }

    static void FailedLoginsHaveTheirOwnCodes()
    {
        using (var client = new Client("127.0.0.1", (uint)port))
            Check(Refusal(client.LoginAsync("alice", "wrong")) == Constants.LOGIN_WRONG_PASSWORD, "a wrong password");
        using (var client = new Client("127.0.0.1", 9))
            Check(Refusal(client.LoginAsync("alice", "alice")) == Constants.LOGIN_SERVER_UNREACHABLE, "an unreachable server");
        bool second = false;
        using (new Client("127.0.0.1", (uint)port))
        {
            try { new Client("127.0.0.1", (uint)port); } catch (InvalidOperationException) { second = true; }
        }
        Check(second, "a second Client while one lives is refused");
    }

    // Every integer and text constant of the header, by name, in Constants.
    static void TheConstantsAreTheHeaders()
    {
        var defines = new Regex(@"^#define TALKHUB_(\w+) (.+?)\s*(?:/\*.*)?$", RegexOptions.Multiline);
        int checkedCount = 0;
        foreach (Match define in defines.Matches(File.ReadAllText(Environment.GetEnvironmentVariable("TALKHUB_HEADER"))))
        {
            string name = define.Groups[1].Value, value = define.Groups[2].Value.Trim();
            if (name == "API") continue;
            var field = typeof(Constants).GetField(name);
            if (field == null) { Check(false, "Constants." + name + " exists"); continue; }
            object expected;
            if (value.StartsWith("\"")) expected = value.Trim('"');
            else if (value.StartsWith("((int)")) expected = unchecked((int)Convert.ToUInt32(value.Substring(6).TrimEnd(')', 'u'), 16));
            else expected = int.Parse(value.Trim('(', ')').TrimEnd('u'));
            if (!Convert.ToString(field.GetValue(null)).Equals(Convert.ToString(expected))) Check(false, name + " = " + value);
            ++checkedCount;
        }
        Check(checkedCount > 40, "every constant of the header (" + checkedCount + ") has its value");
    }

    static int Main()
    {
        using (var server = Start(Environment.GetEnvironmentVariable("TALKHUB_SERVER"), "--bind 127.0.0.1 --tcp-port 0 --udp-port 0"))
        {
            port = int.Parse(Regex.Match(server.StandardOutput.ReadLine(), @"127\.0\.0\.1:(\d+) \(TCP\)").Groups[1].Value);
            var scenarios = new List<Action> { LogsInEntersTakesAndReleasesTheFloor, PlacesATemporaryCall, ARecordedTurnIsReported,
                                               FailedLoginsHaveTheirOwnCodes, TheConstantsAreTheHeaders };
            foreach (var scenario in scenarios)
            {
                try { scenario(); }
                catch (Exception failure) { Check(false, scenario.Method.Name + ": " + failure.Message); }
            }
            server.Kill();
        }
        return failures;
    }
}
