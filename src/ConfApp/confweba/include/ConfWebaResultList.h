// The result codes of the conference module, its HTTP client and the
// confweba host: the one list every code, name and text comes from. No
// include guard: it is included with QMX_RESULT defined to what the includer
// makes of each line, then undefined again.
//
//   QMX_RESULT(name, value, clientText, hostText)
//
// name        becomes QMX_<name> in enum QmxResult (ConfWebaResults.h).
// value       the number hosts see; fixed, never reused for another meaning.
// clientText  what CHttpClient::GetErrorText says, or nullptr for its
//             "unexpected error!".
// hostText    what the confweba host prints, or nullptr for its
//             "unexpected error".
//
// Ranges:
//   0            success
//   4001 - 4099  the module: the site's replies and refusals, downloads
//   5001 - 5099  the confweba host's own checks
//   10001 - 10099 the HTTP client and its transport, and bad calls
//
// The two text columns differ on purpose for 4002 and 4003: GetErrorText
// keeps the texts the HTTP client always gave for them, while the host says
// what the module means by them.

// Success; also the outcome of a request that is under way.
QMX_RESULT(OK, 0, nullptr, "")

// --- The module: replies, refusals and downloads (4001 - 4099) ---

// An address the HTTP client cannot use. Nothing returns it today; it keeps
// its GetErrorText text.
QMX_RESULT(ERR_INVALID_URL, 4001, "invalid url", nullptr)
// The site's reply is not its XML: it does not parse, or lacks root, header
// or body.
QMX_RESULT(ERR_BAD_REPLY, 4002, "invalid proxy", "the reply is not the site's XML")
// The site answered a join with an empty body.
QMX_RESULT(ERR_EMPTY_REPLY, 4003, "connect url failed", "the site sent an empty reply")
// The site refused with an error code of no known meaning, or a download
// brought no whole body (HTTP status of 400 or more, failed or cut transfer,
// empty body).
QMX_RESULT(ERR_REFUSED, 4010, nullptr, "the site refused the request, or sent no file")
// A download could not be written (disk full, folder not writable).
QMX_RESULT(ERR_FILE_NOT_WRITTEN, 4011, nullptr, "the file could not be written")
// An asynchronous download the host cancelled; no file was left.
QMX_RESULT(ERR_CANCELLED, 4012, nullptr, "the download was cancelled")
// The site's refusals of a join or an invitation, by its error code.
// 0x0604003: no such conference.
QMX_RESULT(ERR_CONF_NOT_FOUND, 4020, nullptr, "conference not found")
// 0x0604008: the conference password is wrong.
QMX_RESULT(ERR_CONF_PASSWORD, 4021, nullptr, "wrong conference password")
// 0x0604009: the conference has not started yet.
QMX_RESULT(ERR_CONF_NOT_STARTED, 4022, nullptr, "the conference has not started")
// 0x0604010: the conference is over.
QMX_RESULT(ERR_CONF_ENDED, 4023, nullptr, "the conference has ended")
// 0x0604006: the conference admits nobody more.
QMX_RESULT(ERR_CONF_LOCKED, 4024, nullptr, "the conference is locked")
// 0x0600010: the site knows no such account.
QMX_RESULT(ERR_NO_ACCOUNT, 4025, nullptr, "no such account at the site")
// 0x0600011: the account's password is wrong.
QMX_RESULT(ERR_ACCOUNT_PASSWORD, 4026, nullptr, "wrong account password")

// --- The confweba host's own checks (5001 - 5099) ---

// The module reported a download done, but no file is at its place.
QMX_RESULT(ERR_NO_FILE, 5001, nullptr, "the file could not be written")

// --- The HTTP client, its transport, and bad calls (10001 - 10099) ---

// The transfer failed: the challenge budget is spent, a read failed, the
// reply was too long, or the body's receiver stopped it.
QMX_RESULT(ERR_TRANSPORT, 10001, nullptr, "the transfer failed (connection or read error)")
// No site to send to: the HTTP client made none.
QMX_RESULT(ERR_NO_SITE, 10002, nullptr, "no connection to the site")
// SetOption with an option the site does not know.
QMX_RESULT(ERR_BAD_OPTION, 10004, nullptr, "unknown site option")
// The transport reported a completion without its result.
QMX_RESULT(ERR_NO_RESULT, 10005, nullptr, "the transport ended without a result")
// A transport call failed, or the request timed out or was given up.
QMX_RESULT(ERR_REQUEST_FAILED, 10006, nullptr, "the request failed or timed out")
// Memory ran out.
QMX_RESULT(ERR_OUT_OF_MEMORY, 10007, "out of memory", "out of memory")
// A bad argument: an empty or unusable address, name or list, or a query
// that would not fit.
QMX_RESULT(ERR_INVALID_ARG, 10008, "invalid argument", "invalid argument")
// The transport reported the connection lost.
QMX_RESULT(ERR_DISCONNECTED, 10009, nullptr, "the connection was lost")
// CloseSite with a site the HTTP client does not hold.
QMX_RESULT(ERR_NOT_FOUND, 10011, nullptr, "site not found")
// Not a failure: an asynchronous read waits for the transport's next report.
QMX_RESULT(READ_PENDING, 10013, nullptr, "a read is still pending")
// A call in the wrong state: no event queue on the calling thread, a
// synchronous call on an asynchronous site (or the other way round), a
// completion the transport reported failed, or no reply from the host's
// point of view.
QMX_RESULT(ERR_WRONG_STATUS, 10015, "wrong status", "wrong state (no event queue, or the transport failed)")
