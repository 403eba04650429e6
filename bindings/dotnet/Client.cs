// A session as a .NET programmer expects it: awaitable requests that throw on refusal,
// events for notifications and finished recordings, Dispose to log out.
//
// Threads: Notified is raised on the library's network thread, RecordFinished on its play
// thread, and the tasks complete on the network thread (continuations run there unless they
// are awaited with a synchronization context). A handler may call Logout, and must not block
// for long. The library serves one session per process: one Client at a time.
using System;
using System.Threading;
using System.Threading.Tasks;

namespace TalkHub
{
    public class TalkHubException : Exception
    {
        public int Code { get; }
        public TalkHubException(string what, int code) : base(what + " (" + code + ")") { Code = code; }
    }

    public sealed class LoginRefusedException : TalkHubException
    {
        public LoginRefusedException(int code) : base("login failed", code) { }
    }

    public sealed class NotifyEventArgs : EventArgs
    {
        public int Code { get; }
        public string Text { get; }  // null where the header says the library passes none
        public NotifyEventArgs(int code, string text) { Code = code; Text = text; }
    }

    public sealed class RecordEventArgs : EventArgs
    {
        public uint UserId { get; }
        public string Text { get; }  // "group id:group name,user id:user name,duration ms,path"
        public RecordEventArgs(uint userId, string text) { UserId = userId; Text = text; }
    }

    public sealed class Client : IDisposable
    {
        sealed class Answer
        {
            public int Result;
            public string Text;
        }

        static Client current;
        static TaskCompletionSource<Answer> pendingLogin, pendingGroup, pendingFloor, pendingCall;

        // The delegates the library holds: made once, in static fields, so that the garbage
        // collector never takes one the library may still call.
        static readonly NotifyCallback OnNotify = (code, text) => {
            var client = current;
            if (client != null && client.Notified != null) client.Notified(client, new NotifyEventArgs(code, Utf8.Read(text)));
        };
        static readonly RecordFinishCallback OnRecord = (user, text) => {
            var client = current;
            if (client != null && client.RecordFinished != null) client.RecordFinished(client, new RecordEventArgs(user, Utf8.Read(text)));
        };
        static readonly ResultTextCallback OnLogin = (result, text) => Complete(ref pendingLogin, result, text);
        static readonly ResultTextCallback OnGroup = (result, text) => Complete(ref pendingGroup, result, text);
        static readonly ResultCallback OnFloor = result => Complete(ref pendingFloor, result, IntPtr.Zero);
        static readonly ResultCallback OnCall = result => Complete(ref pendingCall, result, IntPtr.Zero);

        static void Complete(ref TaskCompletionSource<Answer> pending, int result, IntPtr text)
        {
            var waiting = Interlocked.Exchange(ref pending, null);
            if (waiting != null) waiting.TrySetResult(new Answer { Result = result, Text = Utf8.Read(text) });
        }

        static Task<Answer> Await(ref TaskCompletionSource<Answer> pending)
        {
            var answer = new TaskCompletionSource<Answer>(TaskCreationOptions.RunContinuationsAsynchronously);
            Interlocked.Exchange(ref pending, answer);
            return answer.Task;
        }

        public event EventHandler<NotifyEventArgs> Notified;
        public event EventHandler<RecordEventArgs> RecordFinished;

        public Client(string server, uint port = Constants.DEFAULT_PORT)
        {
            if (Interlocked.CompareExchange(ref current, this, null) != null)
                throw new InvalidOperationException("the library serves one session per process: dispose the other Client first");
            Native.initialize();
            Native.setServerInfo(server, port);
            Native.setNotifyCallback(OnNotify);
            Native.setAudioRecordFinishCallback(OnRecord);
        }

        // The group entered at login, as "group id:group name".
        public async Task<string> LoginAsync(string account, string password)
        {
            var answer = Await(ref pendingLogin);
            int started = Native.login(account, password, OnLogin);
            if (started != Constants.OK) throw new TalkHubException("login not started", started);
            var done = await answer;
            if (done.Result != Constants.OK) throw new LoginRefusedException(done.Result);
            return done.Text;
        }

        // The group's "group id:group name".
        public async Task<string> EnterGroupAsync(uint groupId)
        {
            var answer = Await(ref pendingGroup);
            Native.enterGroup(groupId, OnGroup);
            var done = await answer;
            if (done.Result != Constants.OK) throw new TalkHubException("group " + groupId + " not entered", done.Result);
            return done.Text;
        }

        public async Task RequestFloorAsync()
        {
            var answer = Await(ref pendingFloor);
            Native.requestMic(OnFloor);
            var done = await answer;
            if (done.Result != Constants.OK) throw new TalkHubException("floor refused", done.Result);
        }

        public void ReleaseFloor() { Native.releaseMic(); }

        public async Task CallAsync(uint userId)
        {
            var answer = Await(ref pendingCall);
            Native.tempCall(userId, OnCall);
            var done = await answer;
            if (done.Result != Constants.OK) throw new TalkHubException("call to " + userId + " refused", done.Result);
        }

        public void HangUp() { Native.handupTempCall(); }

        // Records the turns of these groups as MP3 files in the folder: RecordFinished tells
        // of each file once it is closed.
        public void Record(string folder, params uint[] groupIds)
        {
            Native.setRecordSavePath(folder);
            foreach (uint groupId in groupIds) Native.openGroupRecord(groupId);
        }

        public void Logout() { Native.loginout(); }

        public void Dispose()
        {
            if (Interlocked.CompareExchange(ref current, null, this) != this) return;
            Native.loginout();
            Native.unInitialize();
        }
    }
}
