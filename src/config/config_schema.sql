-- Schema of the exchange's configuration databases.
--
-- The three databases live side by side in the telephony directory
-- ($ORBA_PATH or <root>/etc/orba-conf/, then "telephony/"). Each section below
-- starts with a "-- @database NAME" line and is applied to the file NAME by
-- `valtconf init` (and by every valtconf command that finds a file missing).
-- Every statement is idempotent, so running the schema again changes nothing.

-- @database extensiondb
-- One row per extension. The row id gives the list order: extensions are
-- listed in the order they were added.
--   kind: 0 auto-attendant, 1 user, 2 system (at most one system extension).
--   password: the user's secret, stored as given (the digest check needs it).
--   prompt_dir / prompt_share: voice prompt directory and the share of the
--   total voice storage, in percent, that its prompts may use.
CREATE TABLE IF NOT EXISTS extensions (
    id INTEGER PRIMARY KEY,
    kind INTEGER NOT NULL CHECK (kind IN (0, 1, 2)),
    number TEXT NOT NULL,
    password TEXT NOT NULL DEFAULT '',
    prompt_dir TEXT NOT NULL DEFAULT '',
    prompt_share REAL NOT NULL DEFAULT 0 CHECK (prompt_share >= 0 AND prompt_share <= 100)
);
CREATE INDEX IF NOT EXISTS extensions_by_number ON extensions (kind, number);

-- @database linedb
-- Gateway FXS ports: the IP-line user that logs in on the port.
CREATE TABLE IF NOT EXISTS fxs_lines (
    gateway_id INTEGER NOT NULL CHECK (gateway_id >= 0),
    line_id INTEGER NOT NULL CHECK (line_id >= 0),
    user_name TEXT NOT NULL,
    password TEXT NOT NULL,
    PRIMARY KEY (gateway_id, line_id)
);
-- Call-manager lines: the extension number a gateway port rings.
CREATE TABLE IF NOT EXISTS cm_lines (
    gateway_id INTEGER NOT NULL CHECK (gateway_id >= 0),
    line_id INTEGER NOT NULL CHECK (line_id >= 0),
    extension TEXT NOT NULL,
    PRIMARY KEY (gateway_id, line_id)
);

-- @database systemdb
-- Named settings as text; a missing row means the built-in default
-- (docs/configuration.md lists names and defaults).
CREATE TABLE IF NOT EXISTS settings (
    name TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
-- Gateways of the exchange; type 3 is a REREV gateway.
CREATE TABLE IF NOT EXISTS gateways (
    id INTEGER PRIMARY KEY CHECK (id >= 0),
    type INTEGER NOT NULL CHECK (type >= 0)
);
-- Rights granted to accounts (an extension number, an IP-line user) beyond
-- what is their own; consulted when the "account-rights" setting is on.
-- Names: cdr, routing, any-extension, system-prompts, config-upload.
CREATE TABLE IF NOT EXISTS account_rights (
    account TEXT NOT NULL,
    name TEXT NOT NULL,
    PRIMARY KEY (account, name)
);
