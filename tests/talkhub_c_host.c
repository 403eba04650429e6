/* A host written in C against the public header and the shared library only: logs in,
 * stays logged in for a while (heartbeats go out), logs out. Usage:
 * talkhub_c_host address port account password. Exit status 0 when the login reached a
 * group. */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "talkhub.h"

static atomic_int loginDone;
static int loginResult;
static char loginText[256];

static void onLogin(int result, const char* text) {
    loginResult = result;
    snprintf(loginText, sizeof loginText, "%s", text != NULL ? text : "");
    atomic_store(&loginDone, 1);
}

static void onNotify(int code, const char* text) { printf("notify %d %s\n", code, text != NULL ? text : ""); }

static void pause(long milliseconds) {
    struct timespec step = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&step, NULL);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s address port account password\n", argv[0]);
        return 2;
    }
    initialize();
    setNotifyCallback(onNotify);
    setServerInfo(argv[1], (unsigned int)strtoul(argv[2], NULL, 10));
    if (login(argv[3], argv[4], onLogin) < 0) {
        fprintf(stderr, "login could not start\n");
        unInitialize();
        return 1;
    }
    for (int waited = 0; waited < 5000 && !atomic_load(&loginDone); waited += 10) pause(10);
    int status = 1;
    if (atomic_load(&loginDone)) {
        printf("login %d %s\n", loginResult, loginText);
        status = loginResult == 0 && strchr(loginText, ':') != NULL ? 0 : 1;
    } else {
        printf("no login answer\n");
    }
    pause(1500);
    loginout();
    printf("logged out\n");
    unInitialize();
    return status;
}
