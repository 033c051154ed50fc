// Web mail pages: the login form, the two-frame mail window with its
// message list, folder tabs and list actions, the address book popup, and
// composing and sending mail from the browser.
//
// Every routine that takes a User expects a logged-in user whose name is
// safe to use in file names; message names from requests are accepted only
// when they name that user's own files.
#pragma once

#include <string>
#include <vector>

#include "web/http_request.h"

namespace webmail {

std::string LoginPage(const std::string& User, bool ForAdmin);

// The web folder of a request's `dir` ("in" for anything unknown).
std::string FolderOf(const std::string& dir);

// Actions of "/webmail" and "/webmaillist" before the page: ticked
// messages, restore and save links, the settings pane. True when the
// settings were saved.
bool ListActions(const std::string& User, const std::string& Dir, const http::Params& Request);
std::string WebmailFrameset();
std::string WebmailListPage(const std::string& User, const std::string& Dir, int StartFrom, bool SettingsSaved);
// Rows of one page of a folder; Shown gets the number of message rows.
std::string MessageRows(const std::string& User, const std::string& Dir, const std::string& RowColour,
                        int StartFrom, int PageSize, int& Shown);
// One folder tab; the folder being listed is shown without a link.
std::string FolderTabs(const std::string& Dir, const std::string& Caption, const std::string& Current);

// RequestLines: the uploaded file's text, in lower case, with each "&"
// starting a line.
std::string AddressBookPage(const std::string& User, bool ForCC, bool IsUpload, const std::string& RequestLines);
// The first distribution-list address of the user (empty when none).
std::string UserEmailFromLink(const std::string& User);
// websets.dat values with their defaults.
std::string WebsetsName(const std::string& User);
std::string WebsetsEmail(const std::string& User);
// The address web mail puts in From: the reply address, else the first
// distribution-list address, else the user at the first local domain
// (at localhost when there is none).
std::string SenderAddress(const std::string& User);

// --- Compose and send ---------------------------------------------------------

// "/compose" after the login: a fresh or reply form (GET), attachments
// added or removed (POST with addfile/do_delete), or the message sent.
std::string ComposeRequest(const std::string& User, const std::string& Dir, bool IsPost,
                           const std::string& RequestText, const http::Params& Request,
                           const std::string& Boundary, const std::string& RequestFile);
// Note, when given, is shown above the form (a refusal to send it).
std::string ComposePage(const std::string& User, const std::string& From, const std::string& Subject,
                        const std::string& To, const std::string& CC, const std::vector<std::string>& BodyLines,
                        const std::string& Note = std::string());
std::string ReplyCompose(const std::string& User, const std::string& MessageFile);
std::string SendWebmail(const std::string& User, const std::string& From, const std::string& To,
                        const std::string& CC, const std::string& Subject, const std::string& Body);
std::string AttachPage(const std::string& User);
// Text before the first Char, removed from Text with the Char; the whole
// Text (then emptied) when Char does not occur.
std::string SplitFirst(std::string& Text, char Char);
// The address around the first "@" of a text: the run of characters
// without TAB, LF, CR, blank, double quote, apostrophe, comma, "<", "=",
// ">" and "|". Empty when the text has no "@". pos/len locate it.
std::string AddressAround(const std::string& text, std::size_t from = 0, std::size_t* begin = nullptr,
                          std::size_t* end = nullptr);
// A text field as the browser posted it, as UTF-8: valid UTF-8 as it is,
// anything else taken as windows-1252 (the pages' charset); numeric
// character references to characters beyond ASCII become the characters.
std::string FormText(const std::string& text);
// ProgramDir + "attach/" + user + "/".
std::string AttachFolder(const std::string& User);

}  // namespace webmail
