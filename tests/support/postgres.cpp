#include "postgres.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support
{

namespace
{

bool runnable(const std::string &path)
{
    return access(path.c_str(), X_OK) == 0;
}

// The newest of Debian's /usr/lib/postgresql/N/bin.
std::string debian_bin()
{
    std::string best;
    int best_version = -1;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::string bin = entry.path().string() + "/bin";
        const int version = std::atoi(entry.path().filename().c_str());
        if (version > best_version && runnable(bin + "/initdb") && runnable(bin + "/pg_ctl")) {
            best = bin;
            best_version = version;
        }
    }
    return best;
}

// Becomes "nobody" when root: the server will not run as root.
bool drop_root()
{
    if (geteuid() != 0)
        return true;
    const passwd *pw = getpwnam("nobody");
    return pw != nullptr && setgroups(0, nullptr) == 0 && setgid(pw->pw_gid) == 0 &&
           setuid(pw->pw_uid) == 0;
}

} // namespace

std::string postgres_server::programs(std::string &why)
{
    const char *given = std::getenv("FLASHER_PG_BIN");
    if (given != nullptr && *given != '\0') {
        if (runnable(std::string(given) + "/initdb") && runnable(std::string(given) + "/pg_ctl"))
            return given;
        why = std::string("FLASHER_PG_BIN=") + given + " holds no initdb and pg_ctl";
        return {};
    }
    std::string bin = debian_bin();
    if (bin.empty())
        why = "no PostgreSQL server programs (initdb, pg_ctl) under /usr/lib/postgresql: install "
              "Debian's postgresql (scripts/install-deps.sh does), or set FLASHER_PG_BIN";
    return bin;
}

bool postgres_server::required()
{
    const char *given = std::getenv("FLASHER_REQUIRE_POSTGRES");
    return given != nullptr && std::string(given) == "1";
}

postgres_server::~postgres_server()
{
    if (running_) {
        resume();
        stop_immediate();
    }
}

int postgres_server::run_as_owner(const std::vector<std::string> &argv)
{
    const std::string log = dir_.file("commands.log");
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0 || !drop_root())
            _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool postgres_server::create(std::string &why)
{
    bin_ = programs(why);
    if (bin_.empty())
        return false;
    if (geteuid() == 0) {
        const passwd *pw = getpwnam("nobody");
        if (pw == nullptr || chown(dir_.path().c_str(), pw->pw_uid, pw->pw_gid) != 0) {
            why = "cannot give the scratch directory to the user nobody";
            return false;
        }
    }
    // No sync: a throwaway cluster. Trust on the socket, which only this
    // directory's owner and root can reach.
    if (run_as_owner({bin_ + "/initdb", "-N", "-U", "postgres", "-A", "trust", "-E", "UTF8",
                      "--locale=C", "--no-instructions", "-D", dir_.file("data")}) != 0) {
        why = "initdb failed: " + read_text(dir_.file("commands.log"));
        return false;
    }
    if (!start()) {
        why = "the server did not start: " + read_text(dir_.file("server.log"));
        return false;
    }
    return true;
}

bool postgres_server::start()
{
    // fsync off: a stop here is a process crash, never a power cut, so the
    // page cache keeps every write; commits still wait for their WAL write.
    const std::string options = "-c listen_addresses='' -c unix_socket_directories='" +
                                dir_.path() + "' -c fsync=off -c full_page_writes=off";
    running_ =
        run_as_owner({bin_ + "/pg_ctl", "-D", dir_.file("data"), "-l", dir_.file("server.log"),
                      "-o", options, "-w", "-t", "120", "-s", "start"}) == 0;
    return running_;
}

void postgres_server::stop_immediate()
{
    if (!running_)
        return;
    run_as_owner({bin_ + "/pg_ctl", "-D", dir_.file("data"), "-m", "immediate", "-w", "-t", "60",
                  "-s", "stop"});
    running_ = false;
}

pid_t postgres_server::postmaster() const
{
    std::ifstream in(dir_.file("data/postmaster.pid"));
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
}

namespace
{

// The server's children: each backend runs in a session of its own, so they
// are found by their parent.
std::vector<pid_t> children_of(pid_t parent)
{
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
        const pid_t pid = std::atoi(entry.path().filename().c_str());
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        const std::size_t close = text.rfind(')');
        char state = 0;
        long ppid = 0;
        if (pid > 0 && close != std::string::npos &&
            std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent)
            children.push_back(pid);
    }
    return children;
}

} // namespace

// The server first, so that it starts no backend while the others stop.
void postgres_server::pause()
{
    const pid_t server = postmaster();
    if (server <= 0)
        return;
    kill(server, SIGSTOP);
    for (const pid_t child : children_of(server))
        kill(child, SIGSTOP);
}

void postgres_server::resume()
{
    const pid_t server = postmaster();
    if (server <= 0)
        return;
    for (const pid_t child : children_of(server))
        kill(child, SIGCONT);
    kill(server, SIGCONT);
}

std::string postgres_server::conninfo(const std::string &database, const std::string &user) const
{
    return "host='" + dir_.path() + "' dbname=" + database + " user=" + user;
}

std::string postgres_server::new_database()
{
    std::string name = "test" + std::to_string(++databases_);
    pg_query(conninfo(), "CREATE DATABASE " + name);
    return name;
}

bool postgres_server::allow_first(const std::string &hba_line)
{
    const std::string hba = dir_.file("data/pg_hba.conf");
    const std::string before = read_text(hba, "");
    std::ofstream(hba, std::ios::trunc) << hba_line << "\n" << before;
    return pg_query(conninfo(), "SELECT pg_reload_conf()").error.empty();
}

pg_answer pg_query(const std::string &conninfo, const std::string &sql,
                   const std::vector<std::optional<std::string>> &params)
{
    pg_answer answer;
    PGconn *conn = PQconnectdb(conninfo.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        answer.sqlstate = "connect";
        answer.error = PQerrorMessage(conn);
        PQfinish(conn);
        return answer;
    }
    std::vector<const char *> values;
    for (const auto &p : params)
        values.push_back(p ? p->c_str() : nullptr);
    PGresult *r = params.empty() ? PQexec(conn, sql.c_str())
                                 : PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()),
                                                nullptr, values.data(), nullptr, nullptr, 0);
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        answer.sqlstate = state != nullptr ? state : "?";
        answer.error = PQresultErrorMessage(r);
    }
    for (int row = 0; row < PQntuples(r); ++row) {
        pg_row values_of_row;
        for (int col = 0; col < PQnfields(r); ++col)
            values_of_row.push_back(PQgetisnull(r, row, col) != 0
                                        ? std::nullopt
                                        : std::optional<std::string>(PQgetvalue(r, row, col)));
        answer.rows.push_back(std::move(values_of_row));
    }
    PQclear(r);
    PQfinish(conn);
    return answer;
}

pg_answer pg_script(const std::string &conninfo, const std::string &path)
{
    return pg_query(conninfo, read_text(path, "SELECT 'missing script'::int"));
}

} // namespace support
