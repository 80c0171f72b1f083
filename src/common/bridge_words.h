// The words of the bridge's conversation, spelled once for the tool's dialog,
// the simulated bridge and the offline decoder, so that the three cannot drift
// apart. String literals, so that each side can join them into its own texts.
//
//   the login      prompts the bridge sends, credentials the tool answers with
//   the shell      the command interpreter's prompt, its commands, the dump's result line
//   the tool       the prefix of the tool's own messages on standard output
#pragma once

// Login prompts as the bridge sends them, and the part the dialog looks for.
#define QELT_LOGIN_PROMPT "login: "
#define QELT_LOGIN_PROMPT_WORD "login:"
#define QELT_PASSWORD_PROMPT "password: "
#define QELT_PASSWORD_PROMPT_WORD "password:"
// The credentials of the bridge's firmware, which the tool sends.
#define QELT_LOGIN_NAME "qelt"
#define QELT_LOGIN_PASSWORD "/Tiled_K/J_Harbour/"

// The command interpreter's prompt: its text, then the telnet command IAC GA
// (8 bytes in all); the dialog recognises a prompt by its word.
#define QELT_PROMPT_TEXT "INET> "
#define QELT_PROMPT_WORD "INET>"
#define QELT_PROMPT QELT_PROMPT_TEXT "\xFF\xF9"
enum { kQeltPromptSize = sizeof QELT_PROMPT - 1 };
static_assert(kQeltPromptSize == 8, "the prompt is its text and IAC GA");

// The commands the tool sends.
#define QELT_COMMAND_STATUS "pwista"
#define QELT_COMMAND_TASKS "task_trace"
#define QELT_COMMAND_REBOOT "hwrst"
#define QELT_COMMAND_DUMP "dump_dsata_trace"
#define QELT_COMMAND_EXIT "exit"

// Ends each page of a dump: the index of the next record, 0 after the last page.
#define QELT_DUMP_RESULT "DUMP_RESULT="
// The first line of a dump.
#define QELT_DUMP_BANNER "SATA history dump"

// Every message of the tool's own begins with its name as users know it.
#define QELT_TOOL_MESSAGE "qelttelnet.exe: "
