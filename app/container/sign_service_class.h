#pragma once

// How the remote-method server sees TSMSignService: its description for the method registry
// (getListCertificate and SignDocument, both with string texts) and the server class component
// that names it. The class descends from the provider data module, so the registry offers it
// through the adapter and lists the adapter's provider methods under its name as well.

#include "transport/server/ds_server.h"
#include "transport/server/server_class_description.h"

const TDSClassDescription& SignServiceClass();

// The OnGetClass handler of the container's server class: gives TSMSignService.
void DSServerClass1GetClass(TDSServerClass& DSServerClass,
                            const TDSClassDescription*& PersistentClass);
