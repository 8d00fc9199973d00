/* The floor: the least a probe can cost with the agent's libraries. A main loop on the
 * main thread wakes a worker thread every 3 s; the worker does one blocking loopback
 * connect, send and receive and hands one result back to the main loop. Linked against
 * the same libraries as the agent, so that its memory compares like for like.
 *
 * floor PORT */
#include <glib.h>
#include <gio/gio.h>
#include <libdbusmenu-glib/server.h>
#include <plist/plist.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

static int port;
static int wakeWorker;
static int lastResult = -1;

static gboolean resultArrived(gpointer data)
{
    lastResult = GPOINTER_TO_INT(data);
    return G_SOURCE_REMOVE;
}

static gpointer worker(gpointer unused)
{
    (void)unused;
    static const char request[] = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    for (;;) {
        uint64_t count;
        if (read(wakeWorker, &count, sizeof count) != sizeof count) {
            continue;
        }
        int healthy = 0;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        char answer[512];
        if (fd >= 0 && connect(fd, (struct sockaddr*)&address, sizeof address) == 0
            && send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == (ssize_t)(sizeof request - 1)) {
            ssize_t got = recv(fd, answer, sizeof answer, 0);
            healthy = got >= 12 && memcmp(answer, "HTTP/1.1 200", 12) == 0;
        }
        if (fd >= 0) {
            close(fd);
        }
        g_main_context_invoke(NULL, resultArrived, GINT_TO_POINTER(healthy));
    }
    return NULL;
}

static gboolean probe(gpointer unused)
{
    (void)unused;
    uint64_t one = 1;
    if (write(wakeWorker, &one, sizeof one) != sizeof one) {
        perror("write");
    }
    return G_SOURCE_CONTINUE;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: floor PORT\n");
        return 2;
    }
    port = atoi(argv[1]);
    /* Keep the libraries loaded, as in the agent. */
    volatile void* keep[] = {(void*)dbusmenu_server_new, (void*)plist_new_dict, (void*)g_socket_new};
    (void)keep;
    wakeWorker = eventfd(0, EFD_CLOEXEC);
    GMainLoop* loop = g_main_loop_new(NULL, FALSE);
    g_thread_unref(g_thread_new("probe", worker, NULL));
    probe(NULL);
    g_timeout_add(3000, probe, NULL);
    g_main_loop_run(loop);
    return lastResult < 0;
}
