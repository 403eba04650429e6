// The 42 functions of talkhub.h, declared for P/Invoke. Text goes to the library as UTF-8
// (UnmanagedType.LPUTF8Str); text the library passes to a callback is a UTF-8 pointer,
// read with Utf8.Read. Every function is cdecl, as the header declares them.
using System;
using System.Runtime.InteropServices;

namespace TalkHub
{
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void NotifyCallback(int code, IntPtr text);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void ResultCallback(int result);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void ResultTextCallback(int result, IntPtr text);

    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void RecordFinishCallback(uint userId, IntPtr text);

    // The library's own functions. A delegate handed to one of them must stay reachable for
    // as long as the library may call it (until the next call of the same kind replaces it):
    // Client does that; a program calling these directly must hold its delegates itself.
    public static class Native
    {
        // "TalkHub": TalkHub.dll on Windows; on Linux TalkHub.Interop.dll.config maps it to
        // libTalkHub.so.1.
        const string Library = "TalkHub";
        const CallingConvention Cdecl = CallingConvention.Cdecl;
        const UnmanagedType Utf8 = UnmanagedType.LPUTF8Str;

        [DllImport(Library, CallingConvention = Cdecl)] public static extern void initialize();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void unInitialize();
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern void setServerInfo([MarshalAs(Utf8)] string address, uint port);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void setNotifyCallback(NotifyCallback callback);
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern int login([MarshalAs(Utf8)] string account, [MarshalAs(Utf8)] string password,
                                       ResultTextCallback callback);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void loginout();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void enterGroup(uint groupId, ResultTextCallback callback);
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern void setGroupOption(uint first, uint second, ResultCallback callback);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void requestMic(ResultCallback callback);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void releaseMic();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void tempCall(uint userId, ResultCallback callback);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void handupTempCall();
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern void meetingCall([MarshalAs(UnmanagedType.I1)] bool flag, [MarshalAs(Utf8)] string userList,
                                              ResultTextCallback callback);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void handupMeetingCall(uint id);
        [DllImport(Library, CallingConvention = Cdecl)] [return: MarshalAs(UnmanagedType.I1)] public static extern bool highQuality();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void setHighQuality([MarshalAs(UnmanagedType.I1)] bool on);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int volume();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void setVolume(int value);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int micVolume();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void setMicVolume(int value);
        [DllImport(Library, CallingConvention = Cdecl)] [return: MarshalAs(UnmanagedType.I1)] public static extern bool mute();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void setMute([MarshalAs(UnmanagedType.I1)] bool on);
        [DllImport(Library, CallingConvention = Cdecl)] [return: MarshalAs(UnmanagedType.I1)] public static extern bool defaultAllPlay();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void setDefaultAllPlay([MarshalAs(UnmanagedType.I1)] bool on);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void openCanPlayGroup(uint groupId);
        [DllImport(Library, CallingConvention = Cdecl)] [return: MarshalAs(UnmanagedType.I1)] public static extern bool testGroupCanPlay(uint groupId);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void closeCanPlayGroup(uint groupId);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void setRecordSavePath([MarshalAs(Utf8)] string path);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void openGroupRecord(uint groupId);
        [DllImport(Library, CallingConvention = Cdecl)] [return: MarshalAs(UnmanagedType.I1)] public static extern bool testGroupRecord(uint groupId);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void closeGroupRecord(uint groupId);
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern void setAudioRecordFinishCallback(RecordFinishCallback callback);
        [DllImport(Library, CallingConvention = Cdecl)]
        public static extern void mediaTranscoding([MarshalAs(Utf8)] string sourcePath, [MarshalAs(Utf8)] string targetPath,
                                                   [MarshalAs(UnmanagedType.I1)] bool deleteSource);
        [DllImport(Library, CallingConvention = Cdecl)] [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool checkMediaTranscodingFinish([MarshalAs(Utf8)] string sourcePath);
        [DllImport(Library, CallingConvention = Cdecl)] [return: MarshalAs(UnmanagedType.I1)] public static extern bool isEnableAudioDetection();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void enableAudioDetection([MarshalAs(UnmanagedType.I1)] bool on);
        [DllImport(Library, CallingConvention = Cdecl)] [return: MarshalAs(UnmanagedType.I1)] public static extern bool isPauseAudioDetection();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void setPauseAudioDetection([MarshalAs(UnmanagedType.I1)] bool pause);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int audioActivateThreshold();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void setAudioActivateThreshold(int value);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern long muteDurationMs();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void setMuteDurationMs(long ms);
    }

    // Text the library hands to a callback: a null pointer, or UTF-8 ending in a zero byte.
    public static class Utf8
    {
        public static string Read(IntPtr text)
        {
            if (text == IntPtr.Zero) return null;
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return System.Text.Encoding.UTF8.GetString(bytes);
        }
    }
}
