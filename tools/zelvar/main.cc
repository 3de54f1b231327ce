// zelvar: the command-line host of the Zelvar module. It loads
// libzelvar.so as a game server does and makes every request of the module
// available from a shell, plus the set-up of a database (init) and packet
// images to and from JSON.
#include <cstdio>
#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/zelvar/commands.h"
#include "tools/zelvar/console/console.h"
#include "tools/zelvar/table.h"
#include "tools/zelvar/ops/accounts.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace {

using zelvar::cli::GlobalOptions;
using zelvar::cli::kExitOk;
using zelvar::cli::kExitUsage;

constexpr const char kDescription[] =
    "zelvar: the Zelvar module from a shell. It loads libzelvar.so as a game server does\n"
    "(--module picks another build) and makes each request of the module a command.\n"
    "\n"
    "Connection strings for --db (default: an SQLite file zelvar.db in this folder):\n"
    "  Provider=SQLite;Data Source=FILE\n"
    "  Driver={PostgreSQL Unicode};Server=HOST;Port=5432;Database=DB;Uid=USER;Pwd=PASSWORD\n"
    "  Provider=sqloledb;Data Source=HOST,1433;Initial Catalog=DB;User Id=USER;Password=PASSWORD\n"
    "  DSN=NAME (an ODBC data source)\n"
    "Users are given as a user id or a user name.\n"
    "Exit status:\n"
    "  0    done\n"
    "  1    the module or the database answered a failure, or a write was not (all) stored\n"
    "  2    the database can't be reached or opened (as psql)\n"
    "  64   a wrong command line\n"
    "  130  stopped by Ctrl-C (what was stored so far is reported)";

// The subcommand the failed parse was in, as "init" or "packet decode".
std::string CommandPath(CLI::App* app) {
  std::string path;
  for (CLI::App* sub = app; sub != nullptr;) {
    CLI::App* next = nullptr;
    for (CLI::App* child : sub->get_subcommands()) {
      next = child;
      path += (path.empty() ? "" : " ") + child->get_name();
      break;
    }
    sub = next;
  }
  return path;
}

// Checks the command words on the command line (the words that are not
// options or their values, down the tree of commands); false with the
// unknown word and the level it was met at.
bool CheckCommandWords(CLI::App* app, int argc, char** argv, std::string* unknown, CLI::App** level) {
  static const char* const kTakesValue[] = {"--db", "--module", "--log", "--save-request", "--save-reply",
                                            "--by", "--audit", "--acting-user",
                                            "--listen", "--tls-cert", "--tls-key", "--users", "--session-minutes",
                                            "--role", "--schema"};
  *level = app;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") return true;
    if (!arg.empty() && arg[0] == '-') {
      for (const char* option : kTakesValue) {
        if (arg == option) ++i;
      }
      continue;
    }
    const auto subs = (*level)->get_subcommands([](CLI::App*) { return true; });
    if (subs.empty()) return true;  // the command's own arguments
    CLI::App* next = nullptr;
    for (CLI::App* sub : subs) {
      if (sub->get_name() == arg) next = sub;
    }
    if (next == nullptr) {
      *unknown = arg;
      return false;
    }
    *level = next;
  }
  return true;
}

// " (did you mean 'friends'?)" for a word at most two edits from a
// command's name, or the start of one.
std::string DidYouMean(CLI::App* level, const std::string& word) {
  const std::string typed = zelvar::cli::Lower(word);
  std::string best, prefixed;
  int best_distance = 3;
  for (CLI::App* sub : level->get_subcommands([](CLI::App*) { return true; })) {
    const std::string& name = sub->get_name();
    const int distance = zelvar::ops::EditDistance(zelvar::ToWide(typed), zelvar::ToWide(name));
    if (distance < best_distance) {
      best = name;
      best_distance = distance;
    }
    if (prefixed.empty() && typed.size() >= 2 && name.compare(0, typed.size(), typed) == 0) prefixed = name;
  }
  if (best.empty()) best = prefixed;
  return best.empty() ? "" : " (did you mean '" + best + "'?)";
}

std::string SubcommandNames(CLI::App* app) {
  std::string names;
  for (CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) {
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  return names;
}

// The values the command line fills in, kept while the chosen command runs.
struct Arguments {
  GlobalOptions options;
  bool demo = false;
  std::string schema_dir;
  std::string user, other, text, play_id, account;
  std::string items_user = "0";
  bool peek = false;
  bool orders_only = false;
  std::string order_id;
  int limit = 20;
  zelvar::cli::InviteOptions invite;
  std::vector<std::string> goods;
  int by = 0;
  std::string packet_file, packet_out;
  std::string since;
  std::vector<std::string> help_words;
  std::vector<std::string> row_ids;
  std::string at;
};

// Each command's App and what runs it.
using Commands = std::map<CLI::App*, std::function<int()>>;

CLI::App* AddCommand(CLI::App* parent, const char* name, const char* description, const std::string& example) {
  CLI::App* sub = parent->add_subcommand(name, description);
  sub->fallthrough();
  sub->footer("Example:\n  " + example);
  return sub;
}

void AddGlobalOptions(CLI::App* app, GlobalOptions* options) {
  app->require_subcommand(1);
  app->option_defaults()->always_capture_default();
  app->add_option("--db", options->db, "Connection string of the database")->envname("ZELVAR_DB");
  app->add_option("--module", options->module, "The libzelvar.so to load (default: the one installed with this tool)");
  app->add_flag("-v,--verbose", options->verbose, "Show the module's log lines on stderr");
  app->add_option("--log", options->log_file, "Append the module's log lines to FILE");
  app->add_flag("--json", options->json, "Print JSON: the reply's rows as objects and its raw entries");
  app->add_option("--save-request", options->save_request, "Write the request packet's image to FILE");
  app->add_option("--save-reply", options->save_reply, "Write the reply packet's image to FILE");
  app->add_flag("--csv", options->csv, "Print tables as CSV");
  app->add_option("--by", options->by, "The operator named in the audit trail (default: your login name)");
  app->add_option("--audit", options->audit_file,
                  "The audit trail of writes (default: ~/.local/state/zelvar/audit.jsonl)")
      ->envname("ZELVAR_AUDIT");
  app->add_flag("-y,--yes", options->yes, "Run writes without asking for confirmation");
  app->add_flag("--dry-run", options->dry_run, "Writes only say what they would do");
  app->footer(
      "Examples:\n"
      "  zelvar init --demo           create zelvar.db with the demo world\n"
      "  zelvar friends lina          the friend list of the user lina\n"
      "  zelvar send lina 1001:30天:1 grant goods 1001 to lina for 30 days\n"
      "Run 'zelvar COMMAND --help' for the options of a command.");
}

void AddInitCommand(CLI::App* app, Arguments* a, Commands* commands) {
  CLI::App* init = AddCommand(app, "init", "Create the tables of the database the connection string names",
                              "zelvar init --demo\n  zelvar --db 'Driver={PostgreSQL Unicode};Server=db;Database=game;Uid=zelvar;Pwd=secret' init");
  init->add_flag("--demo", a->demo, "Also load the demo world (a few dozen players with friends, trades, messages, goods)");
  init->add_option("--schema", a->schema_dir, "Folder of the schema files (default: the installed ones)")
      ->check(CLI::ExistingDirectory);
  (*commands)[init] = [a] { return zelvar::cli::RunInit(a->options, a->demo, a->schema_dir); };

  CLI::App* migrate = AddCommand(
      app, "migrate", "Create the tables of the shipped schema that the database lacks, with their indexes",
      "zelvar migrate --dry-run\n"
      "  zelvar --db 'Driver={PostgreSQL Unicode};Server=db;Database=game;Uid=zelvar;Pwd=secret' migrate --yes\n"
      "For a database set up from an older schema: the tables there and their rows stay as they are.\n"
      "All tables are created in one transaction (on MariaDB one by one). Running it again creates\n"
      "nothing. A database holding none of the tables is set up with 'zelvar init'.");
  migrate->add_option("--schema", a->schema_dir, "Folder of the schema files (default: the installed ones)")
      ->check(CLI::ExistingDirectory);
  (*commands)[migrate] = [a] { return zelvar::cli::RunMigrate(a->options, a->schema_dir); };
}

// The queries: friends, trades, items, inbox.
void AddQueryCommands(CLI::App* app, Arguments* a, Commands* commands) {
  CLI::App* friends = AddCommand(app, "friends", "The user's friends with nick, sex, face and online status (1610)",
                                 "zelvar friends lina");
  friends->add_option("USER", a->user, "User id or user name")->required();
  (*commands)[friends] = [a] { return zelvar::cli::RunFriends(a->options, a->user); };

  CLI::App* trades = AddCommand(app, "trades", "The trades the user took part in, newest first (1605)",
                                "zelvar trades lina");
  trades->add_option("USER", a->user, "User id or user name")->required();
  (*commands)[trades] = [a] { return zelvar::cli::RunTrades(a->options, a->user); };

  CLI::App* items = AddCommand(app, "items", "The catalogue of items friends can trade (1615)", "zelvar items");
  items->add_option("USER", a->items_user, "User id or name the request is made for (the catalogue is the same for all)");
  (*commands)[items] = [a] { return zelvar::cli::RunItems(a->options, a->items_user); };

  CLI::App* inbox = AddCommand(
      app, "inbox",
      "The user's unread messages through the module (1620), WHICH MARKS THEM READ; --peek reads the table "
      "instead and marks nothing",
      "zelvar inbox lina --peek\n"
      "Without --peek the messages shown are marked read, as when the player reads them in the game.");
  inbox->add_option("USER", a->user, "User id or user name")->required();
  inbox->add_flag("--peek", a->peek, "Show the unread and the recent read messages without marking any read");
  inbox->add_option("--limit", a->limit, "With --peek: at most N unread and the N newest read messages")
      ->check(CLI::Range(1, 100000));
  (*commands)[inbox] = [a, inbox] {
    if (!a->peek && inbox->count("--limit") > 0) {
      return zelvar::cli::Fail(kExitUsage, "--limit goes with --peek; 'inbox' without it delivers every unread message");
    }
    return a->peek ? zelvar::cli::RunInboxPeek(a->options, a->user, a->limit)
                   : zelvar::cli::RunInbox(a->options, a->user);
  };
}

// What support staff look up: users, goods, invitations. They only read.
void AddReadCommands(CLI::App* app, Arguments* a, Commands* commands) {
  CLI::App* users = AddCommand(
      app, "users", "Find accounts by id, user name or nick, or a part of one (any case); exact matches first",
      "zelvar users lin\n  zelvar --csv users 琳 --limit 100");
  users->add_option("SEARCH", a->text, "A user id, or a part of a user name or nick")->required();
  users->add_option("--limit", a->limit, "Show at most N accounts")->check(CLI::Range(1, 100000));
  (*commands)[users] = [a] { return zelvar::cli::RunUsers(a->options, a->text, a->limit); };

  CLI::App* goods = AddCommand(
      app, "goods", "The user's goods rows (tblUserGoods) with their due times, and the speak counters",
      "zelvar goods lina\n"
      "Time-limited goods are owned until their due time, then expired; 'permanent' marks the far due\n"
      "times written for permanent goods and quota rows. Quota rows (types 3000 to 3999) show their\n"
      "bought count (BUY DAY); the speak counters come from the face text's Speak entry.\n"
      "Orders lists the entries granted under a host's order id (tblGoodsOrder, 'send --order').\n"
      "--csv prints the goods rows; --orders --csv the orders.");
  goods->add_option("USER", a->user, "User id or user name")->required();
  goods->add_flag("--orders", a->orders_only, "Show only the entries granted under order ids");
  (*commands)[goods] = [a] { return zelvar::cli::RunGoods(a->options, a->user, a->orders_only); };

  CLI::App* invitations = AddCommand(app, "invitations", "The invitation records the user stored (tblInviteRecord)",
                                     "zelvar invitations lina");
  invitations->add_option("USER", a->user, "User id or user name")->required();
  (*commands)[invitations] = [a] { return zelvar::cli::RunInvitations(a->options, a->user); };
}

void AddInviteCommand(CLI::App* app, Arguments* a, Commands* commands) {
  zelvar::cli::InviteOptions& invite_options = a->invite;
  CLI::App* invite = AddCommand(
      app, "invite", "Store invitation records (1550)",
      "zelvar invite lina --code LINA-1 --email wen@example.com --note 'my room mate'\n"
      "  zelvar invite lina --csv invitations.csv --log-sql\n"
      "The CSV file's first line names its columns: code,email,state,group,note,zone,reply\n"
      "(code and email are required; missing numbers are 0).");
  invite->add_option("USER", a->user, "Who invites: user id or user name")->required();
  invite->add_option("--csv", invite_options.csv_file, "Read the rows from this CSV file");
  invite->add_option("--code", invite_options.code, "Invitation code (one row from options)");
  invite->add_option("--email", invite_options.email, "E-mail address of the invited person");
  invite->add_option("--state", invite_options.state, "State number");
  invite->add_option("--group", invite_options.group, "Group number");
  invite->add_option("--note", invite_options.note, "A note (empty becomes the module's own text)");
  invite->add_option("--zone", invite_options.zone, "Zone id");
  invite->add_option("--reply", invite_options.reply, "Reply number");
  invite->add_flag("--log-sql", invite_options.log_sql, "Have the module write each statement to ZelvarSQL.log");
  (*commands)[invite] = [a] { return zelvar::cli::RunInvite(a->options, a->user, a->invite); };
}

// The updates: message, unfriend, trade, invite.
void AddUpdateCommands(CLI::App* app, Arguments* a, Commands* commands) {
  CLI::App* message = AddCommand(app, "message", "Send a message to a friend (1500)",
                                 "zelvar message lina mira '今晚八点见'");
  message->add_option("FROM", a->user, "The sender: user id or user name")->required();
  message->add_option("TO", a->other, "The recipient, a friend of the sender")->required();
  message->add_option("TEXT", a->text, "The message")->required();
  (*commands)[message] = [a] { return zelvar::cli::RunMessage(a->options, a->user, a->other, a->text); };

  CLI::App* unfriend = AddCommand(app, "unfriend", "End a friendship and delete the trades between the two (1505)",
                                  "zelvar unfriend lina mira");
  unfriend->add_option("USER", a->user, "User id or user name")->required();
  unfriend->add_option("FRIEND", a->other, "The friend to remove")->required();
  (*commands)[unfriend] = [a] { return zelvar::cli::RunUnfriend(a->options, a->user, a->other); };

  CLI::App* trade = AddCommand(app, "trade", "Record a trade between two friends (1510)", "zelvar trade lina mira 7");
  trade->add_option("USER", a->user, "Who records the trade")->required();
  trade->add_option("OTHER", a->other, "The other party, a friend")->required();
  trade->add_option("PLAY", a->play_id, "The play id stored with the trade")->required();
  (*commands)[trade] = [a] { return zelvar::cli::RunTrade(a->options, a->user, a->other, a->play_id); };

  AddInviteCommand(app, a, commands);
}

// The account requests: account, send.
void AddAccountCommands(CLI::App* app, Arguments* a, Commands* commands) {
  CLI::App* account_cmd = AddCommand(
      app, "account", "Look an account up by user name (1660) or by id (tblUser): id, nick, sex, level",
      "zelvar account lina\n  zelvar account 17\n"
      "A user name that matches no account brings up the close ones; 'zelvar users' searches.");
  account_cmd->add_option("ACCOUNT", a->account, "The exact user name, or a user id")->required();
  (*commands)[account_cmd] = [a] { return zelvar::cli::RunAccount(a->options, a->account); };

  CLI::App* send = AddCommand(
      app, "send", "Grant bought goods to an account (1560)",
      "zelvar send lina 1001:30天:1 3100:2个:3100:20:0\n"
      "  zelvar send --order SHOP-1042 lina 1001:30天:1\n"
      "Each entry is GOODS:AMOUNT:TYPE[:A1:A2]. Time-limited goods take 7天, 30天 or 永久\n"
      "(also 7d, 30d, forever); quota goods, types 3000 to 3999, take 1个, 2个 or 6个 (1x, 2x, 6x).\n"
      "A1 and A2 are the two amounts the reply sums (default 0). Exit status 1 when any entry\n"
      "was not granted. With --order ID a repeated order grants only the entries not granted\n"
      "before; the counts and sums shown are those of every entry recorded under the order.");
  send->add_option("ACCOUNT", a->account, "User name of the receiving account")->required();
  send->add_option("ENTRY", a->goods, "Goods entries GOODS:AMOUNT:TYPE[:A1:A2]")->required();
  send->add_option("--acting-user", a->by, "The acting user id written into the module's log lines");
  send->add_option("--order", a->order_id, "The host's order id (1 to 64 characters): its entries are granted once");
  (*commands)[send] = [a, send] {
    std::optional<std::string> order;
    if (send->count("--order") > 0) order = a->order_id;
    return zelvar::cli::RunSend(a->options, a->account, a->goods, a->by, order);
  };
}

// The operator's commands: doctor, revoke, expire.
void AddOperatorCommands(CLI::App* app, Arguments* a, Commands* commands) {
  CLI::App* doctor = AddCommand(
      app, "doctor", "Check the database: server, driver, tables, columns, indexes, rows, error log, pooler safety",
      "zelvar doctor\n  zelvar --db 'Driver={PostgreSQL Unicode};Server=db;Database=game;Uid=zelvar;Pwd=secret' doctor --json\n"
      "Each check is ok, warning or problem. Exit status 0 when no check has a problem (warnings\n"
      "included), 1 when one has, 2 when the database can't be reached.");
  doctor->add_option("--schema", a->schema_dir, "Folder of the schema files to check against (default: the installed ones)")
      ->check(CLI::ExistingDirectory);
  (*commands)[doctor] = [a] { return zelvar::cli::RunDoctor(a->options, a->schema_dir); };

  CLI::App* revoke = AddCommand(
      app, "revoke", "Remove goods rows granted by mistake; a quota row's count comes off the speak counter",
      "zelvar revoke lina 812 813\n"
      "Shows the rows and the counter change, asks, then changes all or nothing. Row ids of\n"
      "another user are refused. --dry-run shows what would change; --yes skips the question.");
  revoke->add_option("USER", a->user, "User id or user name the rows belong to")->required();
  revoke->add_option("ROW", a->row_ids, "Goods row ids (tblUserGoods.nId)")->required();
  (*commands)[revoke] = [a] { return zelvar::cli::RunRevoke(a->options, a->user, a->row_ids); };

  CLI::App* expire = AddCommand(
      app, "expire", "End time-limited goods now (or at --at), keeping the rows as a record",
      "zelvar expire lina 812 --at '2026-12-31 23:59'\n"
      "Quota rows (types 3000 to 3999) are refused: take them back with revoke. An end is only\n"
      "brought forward, never put later.");
  expire->add_option("USER", a->user, "User id or user name the rows belong to")->required();
  expire->add_option("ROW", a->row_ids, "Goods row ids (tblUserGoods.nId)")->required();
  expire->add_option("--at", a->at, "The new end, local time YYYY-MM-DD HH:MM[:SS] (default: now)");
  (*commands)[expire] = [a] { return zelvar::cli::RunExpire(a->options, a->user, a->row_ids, a->at); };
}

// packet decode and packet encode.
void AddPacketCommands(CLI::App* app, Arguments* a, Commands* commands) {
  CLI::App* packet = AddCommand(app, "packet", "Packet images to and from JSON, for debugging a host",
                                "zelvar packet decode reply.bin");
  packet->require_subcommand(1);
  CLI::App* decode = AddCommand(packet, "decode", "Show every record of a packet image (--json for JSON)",
                                "zelvar packet decode reply.bin\n"
                                "Save a reply to look at with: zelvar --save-reply reply.bin friends lina");
  decode->add_option("FILE", a->packet_file, "The packet image ('-' for standard input)")->required();
  (*commands)[decode] = [a] { return zelvar::cli::RunPacketDecode(a->options, a->packet_file); };
  CLI::App* encode = AddCommand(
      packet, "encode", "Build a packet image from JSON",
      "zelvar packet encode request.json -o request.bin\n"
      "The JSON is what 'packet decode --json' prints, or just its entries:\n"
      "  [{\"key\": 1, \"type\": \"int\", \"value\": 1500}, {\"key\": 201, \"type\": \"text\", \"value\": \"hi\"}]\n"
      "Types: short, int, long, bool, text, bytes (hex digits).");
  encode->add_option("JSON", a->packet_file, "The JSON file ('-' for standard input)")->required();
  encode->add_option("-o,--output", a->packet_out, "Where to write the image (default: standard output)");
  (*commands)[encode] = [a] { return zelvar::cli::RunPacketEncode(a->options, a->packet_file, a->packet_out); };
}

void AddAuditCommand(CLI::App* app, Arguments* a, Commands* commands) {
  CLI::App* audit = AddCommand(app, "audit", "The audit trail: every write the tool made, who made it and what it changed",
                               "zelvar audit --since 7d\n"
                               "  zelvar --audit /srv/zelvar/audit.jsonl audit --since '2026-12-01 08:00'\n"
                               "Each write (send, revoke, expire, message, unfriend, trade, invite, migrate) appends one\n"
                               "JSON line: time, operator (--by NAME or your login name), command, arguments, outcome,\n"
                               "rows changed.\n"
                               "The file is --audit FILE, else $ZELVAR_AUDIT, else ~/.local/state/zelvar/audit.jsonl.");
  audit->add_option("--since", a->since, "Only writes from this local time (2026-12-01 08:00) or age (90m, 12h, 7d) on");
  (*commands)[audit] = [a] { return zelvar::cli::RunAudit(a->options, a->since); };
}

// help [COMMAND...]: the help of the tool or of one command.
void AddHelpCommand(CLI::App* app, Arguments* a, Commands* commands) {
  CLI::App* help = AddCommand(app, "help", "Show the help of the tool or of a command", "zelvar help send");
  help->add_option("COMMAND", a->help_words, "The command (two words for packet decode and packet encode)");
  (*commands)[help] = [app, a] {
    CLI::App* where = app;
    std::string before = "zelvar";
    for (const std::string& word : a->help_words) {
      if (where != app) before += " " + where->get_name();
      CLI::App* next = nullptr;
      for (CLI::App* sub : where->get_subcommands([](CLI::App*) { return true; })) {
        if (sub->get_name() == word) next = sub;
      }
      if (next == nullptr) {
        return zelvar::cli::Fail(zelvar::cli::kExitUsage, "there is no command '" + word + "'" + DidYouMean(where, word) +
                                                              "; the commands are " + SubcommandNames(where));
      }
      where = next;
    }
    std::printf("%s", where == app ? app->get_formatter()->make_help(app, "zelvar", CLI::AppFormatMode::Normal).c_str()
                                   : where->help(before).c_str());
    return kExitOk;
  };
}

// Parses the command line. `done` is false when a command is to run;
// otherwise the result is the exit status, after help or the reason why
// the line is wrong was printed.
int Parse(CLI::App* app, int argc, char** argv, bool* done) {
  *done = true;
  std::string unknown;
  CLI::App* level = nullptr;
  if (!CheckCommandWords(app, argc, argv, &unknown, &level)) {
    const std::string path = level == app ? "zelvar" : "zelvar " + level->get_name();
    return zelvar::cli::Fail(kExitUsage, "unknown command '" + unknown + "'" + DidYouMean(level, unknown) +
                                             "; the commands are " + SubcommandNames(level) + " (see '" + path +
                                             " --help')");
  }
  try {
    app->parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app->exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app->exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app->exit(e);
  } catch (const CLI::ParseError& e) {
    const std::string path = CommandPath(app);
    std::string message = e.what();
    CLI::App* where = app;
    for (std::string::size_type start = 0; !path.empty() && start < path.size();) {
      const auto end = std::min(path.find(' ', start), path.size());
      where = where->get_subcommand(path.substr(start, end - start));
      start = end + 1;
    }
    if (message.find("subcommand is required") != std::string::npos) {
      message = "name a command: " + SubcommandNames(where);
    }
    return zelvar::cli::Fail(kExitUsage, message + "; run 'zelvar" + (path.empty() ? "" : " " + path) +
                                             " --help' for more");
  }
  *done = false;
  return kExitOk;
}

// The packet images each command can save: a query sends no request
// packet (only its kind), an update gets no reply packet; the commands
// not named here have neither.
struct Images {
  bool request = false;
  bool reply = false;
};
const std::map<std::string, Images>& ImagesOfCommands() {
  static const std::map<std::string, Images> images = {
      {"friends", {false, true}}, {"trades", {false, true}},  {"items", {false, true}},    {"inbox", {false, true}},
      {"message", {true, false}}, {"unfriend", {true, false}}, {"trade", {true, false}},   {"invite", {true, false}},
      {"account", {true, true}},  {"send", {true, true}}};
  return images;
}

// Refuses --save-request or --save-reply on a command that has no such
// packet, before it runs.
int CheckImageOptions(CLI::App* app, const GlobalOptions& options) {
  const std::string path = CommandPath(app);
  const auto it = ImagesOfCommands().find(path);
  const Images images = it == ImagesOfCommands().end() ? Images{} : it->second;
  for (const auto& [given, has, what] : {std::tuple{!options.save_request.empty(), images.request, "request"},
                                         std::tuple{!options.save_reply.empty(), images.reply, "reply"}}) {
    if (given && !has) {
      return zelvar::cli::Fail(kExitUsage, "'zelvar " + path + "' has no " + what + " packet to save; --save-" +
                                               what + " goes with a command that " +
                                               (std::string(what) == "request" ? "sends one" : "gets one"));
    }
  }
  return kExitOk;
}

// Runs the command the parsed line chose.
int RunChosen(CLI::App* app, const Commands& commands) {
  for (CLI::App* sub = app; sub != nullptr;) {
    CLI::App* selected = nullptr;
    for (CLI::App* child : sub->get_subcommands()) selected = child;
    if (selected == nullptr) break;
    const auto it = commands.find(selected);
    if (it != commands.end() && selected->get_subcommands().empty()) return it->second();
    sub = selected;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  Commands commands;
  CLI::App app{kDescription, "zelvar"};
  AddGlobalOptions(&app, &arguments.options);
  AddInitCommand(&app, &arguments, &commands);
  AddQueryCommands(&app, &arguments, &commands);
  AddUpdateCommands(&app, &arguments, &commands);
  AddAccountCommands(&app, &arguments, &commands);
  AddReadCommands(&app, &arguments, &commands);
  AddOperatorCommands(&app, &arguments, &commands);
  AddPacketCommands(&app, &arguments, &commands);
  AddAuditCommand(&app, &arguments, &commands);
  AddHelpCommand(&app, &arguments, &commands);
  zelvar::console::AddConsoleCommands(&app, &arguments.options, &commands);
  app.set_version_flag("--version", std::string("zelvar ") + ZELVAR_VERSION);
  // Errors of the command line itself come as JSON too when it asks so.
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--json") zelvar::cli::SetJsonErrors(true);
  }
  bool done = false;
  const int status = Parse(&app, argc, argv, &done);
  if (done) return status;
  zelvar::cli::SetJsonErrors(arguments.options.json);
  if (!zelvar::cli::PlainPathToConnectionString(&arguments.options.db)) {
    return zelvar::cli::Fail(kExitUsage, "the SQLite file name '" + arguments.options.db +
                                             "' holds a ';'; give it as --db 'Provider=SQLite;Data Source=FILE'");
  }
  if (const int refused = CheckImageOptions(&app, arguments.options); refused != kExitOk) return refused;
  if (arguments.options.json && arguments.options.csv) {
    return zelvar::cli::Fail(kExitUsage, "--json and --csv exclude each other; give one of them");
  }
  zelvar::cli::Table::SetCsv(arguments.options.csv);
  return RunChosen(&app, commands);
}
