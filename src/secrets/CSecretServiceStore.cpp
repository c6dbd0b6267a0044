#include "secrets/CSecretServiceStore.h"

#include <libsecret/secret.h>

#include <cstring>

namespace {

const SecretSchema* Schema() {
    static const SecretSchema schema = {"example.inboxwarden.Secret",
                                        SECRET_SCHEMA_DONT_MATCH_NAME,
                                        {
                                            {"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {"profile", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {"kind", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                        },
                                        0,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr};
    return &schema;
}

// The attributes of key, in a table libsecret takes; the strings stay owned
// by key, which outlives the call.
GHashTable* Attributes(const CSecretStore::Key& key) {
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(table, const_cast<char*>("application"),
                        const_cast<char*>(CSecretServiceStore::kApplication));
    g_hash_table_insert(table, const_cast<char*>("profile"),
                        const_cast<char*>(key.profile.c_str()));
    g_hash_table_insert(table, const_cast<char*>("account"),
                        const_cast<char*>(key.account.c_str()));
    g_hash_table_insert(table, const_cast<char*>("kind"),
                        const_cast<char*>(CSecretStore::KindName(key.kind)));
    return table;
}

// The reason in a person's words; libsecret's own text follows for the
// cases we cannot name.
std::string Reason(GError* error, const char* doing) {
    std::string why;
    if (!error) {
        why = std::string(doing) + " failed";
    } else if (error->domain == G_IO_ERROR && error->code == G_IO_ERROR_CANCELLED) {
        why = "The request to open the keyring was declined";
    } else if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) {
        why = "The keyring is locked";
    } else if (error->domain == G_DBUS_ERROR &&
               (error->code == G_DBUS_ERROR_SERVICE_UNKNOWN ||
                error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
                error->code == G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND ||
                error->code == G_DBUS_ERROR_SPAWN_EXEC_FAILED ||
                error->code == G_DBUS_ERROR_SPAWN_CHILD_EXITED)) {
        why = std::string("No Secret Service on the session bus (") + error->message + ")";
    } else if (error->domain == G_IO_ERROR) {
        // No session bus at all (a cron job, a headless login) lands here.
        why = std::string("The Secret Service cannot be reached: ") + error->message;
    } else if (error->domain == G_DBUS_ERROR && error->code == G_DBUS_ERROR_UNKNOWN_OBJECT) {
        // The default collection is missing and could not be made (no prompt).
        why = std::string("The keyring has no collection to keep passwords in: ") + error->message;
    } else {
        why = std::string(doing) + " failed: " + error->message;
    }
    if (error) {
        g_error_free(error);
    }
    return why;
}

}  // namespace

CSecretStore::Status CSecretServiceStore::Available() {
    std::lock_guard<std::mutex> lock(m_lock);
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!service) {
        return Status::Failed(Reason(error, "Connecting to the Secret Service"));
    }
    // A missing default collection is made at the first store; a locked one is
    // offered to the user for unlocking now, so a refusal shows before any
    // password is needed.
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    Status status;
    if (error) {
        status = Status::Failed(Reason(error, "Opening the keyring"));
    } else if (collection && secret_collection_get_locked(collection)) {
        GList objects = {collection, nullptr, nullptr};
        GList* unlocked = nullptr;
        secret_service_unlock_sync(service, &objects, nullptr, &unlocked, &error);
        bool opened = unlocked != nullptr;
        g_list_free_full(unlocked, g_object_unref);
        if (error) {
            status = Status::Failed(Reason(error, "Unlocking the keyring"));
        } else if (!opened) {
            status = Status::Failed("The keyring is locked and was not opened");
        }
    }
    if (collection) {
        g_object_unref(collection);
    }
    g_object_unref(service);
    return status;
}

CSecretStore::Status CSecretServiceStore::Store(const Key& key, const std::string& label,
                                                const std::string& secret) {
    std::lock_guard<std::mutex> lock(m_lock);
    GHashTable* attributes = Attributes(key);
    GError* error = nullptr;
    gboolean stored = secret_password_storev_sync(Schema(), attributes, SECRET_COLLECTION_DEFAULT,
                                                  label.c_str(), secret.c_str(), nullptr, &error);
    g_hash_table_unref(attributes);
    if (!stored || error) {
        return Status::Failed(Reason(error, "Storing in the keyring"));
    }
    return Status::Ok();
}

std::optional<std::string> CSecretServiceStore::Lookup(const Key& key, Status& status) {
    std::lock_guard<std::mutex> lock(m_lock);
    GList* items = nullptr;
    status = Search(key, SECRET_SEARCH_LOAD_SECRETS, items);
    std::optional<std::string> secret;
    if (status.ok && items) {
        SecretValue* value = secret_item_get_secret(static_cast<SecretItem*>(items->data));
        gsize length = 0;
        const gchar* text = value ? secret_value_get(value, &length) : nullptr;
        if (text) {
            secret.emplace(text, length);
        } else {
            status = Status::Failed("The keyring gave no secret for the item");
        }
        if (value) {
            secret_value_unref(value);
        }
    }
    g_list_free_full(items, g_object_unref);
    return secret;
}

CSecretStore::Status CSecretServiceStore::Remove(const Key& key) {
    std::lock_guard<std::mutex> lock(m_lock);
    GList* items = nullptr;
    Status status = Search(key, SECRET_SEARCH_NONE, items);
    for (GList* at = items; status.ok && at; at = at->next) {
        GError* error = nullptr;
        if (!secret_item_delete_sync(static_cast<SecretItem*>(at->data), nullptr, &error)) {
            status = Status::Failed(Reason(error, "Removing from the keyring"));
        }
    }
    g_list_free_full(items, g_object_unref);
    return status;
}

CSecretStore::Status CSecretServiceStore::Search(const Key& key, int flags, GList*& items) {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
    if (!service) {
        return Status::Failed(Reason(error, "Connecting to the Secret Service"));
    }
    GHashTable* attributes = Attributes(key);
    // Locked items are asked for too: libsecret's simple lookup reports an item
    // whose keyring stays locked as no item at all, which would read as an
    // empty password.
    items = secret_service_search_sync(
        service, Schema(), attributes,
        static_cast<SecretSearchFlags>(flags | SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), nullptr,
        &error);
    g_hash_table_unref(attributes);
    g_object_unref(service);
    if (error) {
        g_list_free_full(items, g_object_unref);
        items = nullptr;
        return Status::Failed(Reason(error, "Searching the keyring"));
    }
    for (GList* at = items; at; at = at->next) {
        if (secret_item_get_locked(static_cast<SecretItem*>(at->data))) {
            g_list_free_full(items, g_object_unref);
            items = nullptr;
            return Status::Failed("The keyring is locked and was not opened");
        }
    }
    return Status::Ok();
}
