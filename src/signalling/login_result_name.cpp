#include "signalling/login_result_name.h"

#include "outside/harbor.h"
#include "talkhub.h"

const char* loginResultName(int result) {
    if (TALKHUB_LOGIN_CAPTURE_FAILED(result)) return "microphone did not open";
    switch (result) {
        case TALKHUB_OK:
            return "accepted";
        case TALKHUB_LOGIN_UNKNOWN_ACCOUNT:
            return "unknown account";
        case TALKHUB_LOGIN_WRONG_PASSWORD:
            return "wrong password";
        case TALKHUB_LOGIN_SERVER_FULL:
            return "server full";
        case TALKHUB_LOGIN_MALFORMED:
            return "login not understood";
        case TALKHUB_LOGIN_TRY_LATER:
            return "too many failed logins, try later";
        case TALKHUB_LOGIN_STALE:
            return "clock out of the server's window";
        case TALKHUB_LOGIN_OLD_PROTOCOL:
            return "protocol too old for the server";
        case TALKHUB_LOGIN_NO_GROUP:
            return "account in no group";
        case TALKHUB_LOGIN_TOO_MANY_REDIRECTS:
            return "too many redirects";
        case TALKHUB_LOGIN_NO_PROOF:
            return "key exchange not started";
        case TALKHUB_LOGIN_SERVER_NOT_PROVEN:
            return "server not proven";
        case TALKHUB_LOGIN_SERVER_UNREACHABLE:
            return "server unreachable";
        case TALKHUB_LOGIN_HOST_NOT_FOUND:
            return "host name not found";
        case TALKHUB_LOGIN_SPEAKER_FAILED:
            return "speaker did not open";
        case TALKHUB_LOGIN_NO_VOICE_SOCKET:
            return "no voice socket";
        default:
            return "refused";
    }
}

int connectFailureResult(int status) {
    // Every failure but a name that did not resolve (refused, no route, no answer in time,
    // closed while connecting) leaves the server unreachable.
    return status == harbor::kConnectNameNotResolved ? TALKHUB_LOGIN_HOST_NOT_FOUND : TALKHUB_LOGIN_SERVER_UNREACHABLE;
}
