/* The shortest complete host of libTalkHub, in plain C99 with POSIX threads: logs in,
 * enters a group, listens, takes the floor for a few seconds, logs out, and prints every
 * callback it receives.
 *
 *   talkhub_example [address [port [account [password [group]]]]]
 *
 * Defaults: 127.0.0.1 13001 alice alice 1, the reference server's built-in directory.
 * Exit status 0 when the login, the group and the floor were all granted.
 *
 * Callbacks arrive on the library's threads, so each one only records its result under a
 * mutex and signals the main thread, which waits with a deadline and makes the next call.
 * Calling back into the library from inside a callback is avoided on purpose: a host
 * that keeps its callbacks this short never has to think about re-entrancy. */
#include <errno.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <talkhub.h>

static const long kAnswerWaitMs = 10000;
static const long kListenMs = 2000;
static const long kTalkMs = 3000;

/* One answer from the library: set by a callback, awaited by main. */
struct answer {
    bool arrived;
    int result;
    char text[256];
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static struct answer loginAnswer, groupAnswer, floorAnswer;

static void deliver(struct answer* answer, int result, const char* text) {
    pthread_mutex_lock(&lock);
    answer->arrived = true;
    answer->result = result;
    snprintf(answer->text, sizeof answer->text, "%s", text != NULL ? text : "");
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

/* Waits until the answer arrives or the deadline passes; true when it arrived. */
static bool await(struct answer* answer, long milliseconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&lock);
    int waited = 0;
    while (!answer->arrived && waited != ETIMEDOUT) waited = pthread_cond_timedwait(&changed, &lock, &deadline);
    const bool arrived = answer->arrived;
    pthread_mutex_unlock(&lock);
    return arrived;
}

static void pause(long milliseconds) {
    struct timespec step = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&step, &step) != 0 && errno == EINTR) continue;
}

static const char* notificationName(int code) {
    switch (code) {
        case TALKHUB_NOTIFY_NETWORK_EXCEPTION:
            return "connection lost";
        case TALKHUB_NOTIFY_MIC_LOST:
            return "floor lost or released";
        case TALKHUB_NOTIFY_MEMBER_GET_MIC:
            return "a member took the floor";
        case TALKHUB_NOTIFY_MEMBER_LOST_MIC:
            return "a member left the floor";
        case TALKHUB_NOTIFY_TEMP_CALL:
            return "a temporary call arrived";
        case TALKHUB_NOTIFY_TEMP_CALL_END:
            return "the temporary call ended";
        case TALKHUB_NOTIFY_MEETING_END:
            return "a meeting call ended";
        case TALKHUB_NOTIFY_VOICE_GET_MIC:
            return "floor taken by voice";
        default:
            return "other";
    }
}

static void onNotify(int code, const char* text) {
    printf("notify %d (%s) \"%s\"\n", code, notificationName(code), text != NULL ? text : "");
    fflush(stdout);
}

static void onRecordFinish(unsigned int userId, const char* text) {
    printf("recording of user %u finished \"%s\"\n", userId, text != NULL ? text : "");
    fflush(stdout);
}

static void onLogin(int result, const char* text) {
    printf("login %d \"%s\"\n", result, text != NULL ? text : "");
    fflush(stdout);
    deliver(&loginAnswer, result, text);
}

static void onEnterGroup(int result, const char* text) {
    printf("enter group %d \"%s\"\n", result, text != NULL ? text : "");
    fflush(stdout);
    deliver(&groupAnswer, result, text);
}

static void onFloor(int result) {
    printf("floor %d (%s)\n", result, result == TALKHUB_OK ? "granted" : "refused");
    fflush(stdout);
    deliver(&floorAnswer, result, NULL);
}

int main(int argc, char** argv) {
    const char* address = argc > 1 ? argv[1] : "127.0.0.1";
    const unsigned int port = argc > 2 ? (unsigned int)strtoul(argv[2], NULL, 10) : 13001;
    const char* account = argc > 3 ? argv[3] : "alice";
    const char* password = argc > 4 ? argv[4] : account;
    const unsigned int group = argc > 5 ? (unsigned int)strtoul(argv[5], NULL, 10) : 1;

    initialize();
    setNotifyCallback(onNotify);
    setAudioRecordFinishCallback(onRecordFinish);
    setServerInfo(address, port);

    int status = 1;
    if (login(account, password, onLogin) != TALKHUB_OK) {
        fprintf(stderr, "the login could not start\n");
    } else if (!await(&loginAnswer, kAnswerWaitMs)) {
        fprintf(stderr, "no answer to the login from %s:%u\n", address, port);
    } else if (loginAnswer.result != TALKHUB_OK) {
        fprintf(stderr, "login refused: %d\n", loginAnswer.result);
    } else {
        enterGroup(group, onEnterGroup);
        if (!await(&groupAnswer, kAnswerWaitMs) || groupAnswer.result != TALKHUB_OK) {
            fprintf(stderr, "group %u was not entered\n", group);
        } else {
            printf("listening for %ld ms\n", kListenMs);
            fflush(stdout);
            pause(kListenMs);
            requestMic(onFloor);
            if (await(&floorAnswer, kAnswerWaitMs) && floorAnswer.result == TALKHUB_OK) {
                printf("talking for %ld ms\n", kTalkMs);
                fflush(stdout);
                pause(kTalkMs);
                releaseMic();
                status = 0;
            } else {
                fprintf(stderr, "the floor was not granted\n");
            }
        }
        loginout();
    }
    printf("logged out\n");
    unInitialize();
    return status;
}
