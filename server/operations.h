// Handlers of the LDAP version 2 requests, the two pseudo entries the core
// answers itself ("CN=QOXSERVERINFO" and "cn=monitor"), and the refusals.
//
// Each handler runs on the connection's thread with the Operation's request
// element positioned at the operation's contents, and answers through
// server/result.h or by calling the backend's entry point, which answers.
//
// The backend's entry points (BackendOps, server/backend_ops.h) called here:
// bind (the caller answers when it returns 0), modify and search (both
// answer themselves), and unbind through be_unbind.
#ifndef OSTRAK_SERVER_OPERATIONS_H_
#define OSTRAK_SERVER_OPERATIONS_H_

struct Connection;
struct Operation;
struct Modification;

void do_bind(Connection* conn, Operation* op);
void do_unbind(Connection* conn, Operation* op);
void do_abandon(Connection* conn, Operation* op);
void do_modify(Connection* conn, Operation* op);
void do_search(Connection* conn, Operation* op);
void do_delete(Connection* conn, Operation* op);
void do_modifyrdn(Connection* conn, Operation* op);
void do_compare(Connection* conn, Operation* op);

void QOXServerInfo(Connection* conn, Operation* op);
void monitor_info(Connection* conn, Operation* op);
// Puts "modifytimestamp" and "modifiersname" replace modifications at the
// head of the list (dropping any given); returns the operation's bound DN.
char* add_lastmods(Operation* op, Modification** list);

#endif  // OSTRAK_SERVER_OPERATIONS_H_
