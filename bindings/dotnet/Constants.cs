// The constants of talkhub.h, by the same names without the TALKHUB_ prefix.
namespace TalkHub
{
    public static class Constants
    {
        public const int VERSION_MAJOR = 1;
        public const int VERSION_MINOR = 1;
        public const int VERSION_PATCH = 0;
        public const string VERSION_TEXT = "1.1.0";

        public const int OK = 0;
        public const int FAILED = -1;
        public const int DEFAULT_PORT = 13001;
        public const uint ALL_GROUPS = 0;

        public const int NOTIFY_NETWORK_EXCEPTION = 0;
        public const int NOTIFY_MIC_LOST = 2;
        public const int NOTIFY_MEMBER_GET_MIC = 3;
        public const int NOTIFY_MEMBER_LOST_MIC = 4;
        public const int NOTIFY_TEMP_CALL = 5;
        public const int NOTIFY_TEMP_CALL_END = 6;
        public const int NOTIFY_MEETING_END = 7;
        public const int NOTIFY_VOICE_GET_MIC = 8;

        public const string TEXT_NETWORK_EXCEPTION = "network exception.";
        public const string TEXT_CONNECT_FAILED = "connect audio server fail.";

        public const int LOGIN_UNKNOWN_ACCOUNT = -1;
        public const int LOGIN_WRONG_PASSWORD = -2;
        public const int LOGIN_SERVER_FULL = -3;
        public const int LOGIN_MALFORMED = -4;
        public const int LOGIN_TRY_LATER = -5;
        public const int LOGIN_STALE = -6;
        public const int LOGIN_OLD_PROTOCOL = -7;
        public const int LOGIN_NO_GROUP = -1000;
        public const int LOGIN_TOO_MANY_REDIRECTS = -1001;
        public const int LOGIN_NO_PROOF = -1002;
        public const int LOGIN_SERVER_NOT_PROVEN = -1003;
        public const int LOGIN_SERVER_UNREACHABLE = -1004;
        public const int LOGIN_HOST_NOT_FOUND = -1005;
        public const int LOGIN_SPEAKER_FAILED = -1006;
        public const int LOGIN_NO_VOICE_SOCKET = -1007;
        public const int LOGIN_NO_CAPTURE_DEVICE = unchecked((int)0xC0000002u);

        // A login whose microphone did not open (0xC000xxxx read as an int).
        public static bool LOGIN_CAPTURE_FAILED(int result) { return (unchecked((uint)result) & 0xFFFF0000u) == 0xC0000000u; }

        public const int FLOOR_BUSY = 1;
        public const int FLOOR_NOT_A_MEMBER = 2;
        public const int CALL_USER_UNAVAILABLE = 1;
        public const int CALL_ALREADY_IN_CALL = 2;
        public const int CALL_MALFORMED = 3;

        public const int VOLUME_UNITY = 5;
        public const int VOLUME_MAX = 100;
        public const int MIC_VOLUME_UNITY = 100;
    }
}
