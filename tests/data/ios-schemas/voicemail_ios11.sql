-- Source: richinfante/iphonebackuptools (MIT licence, Copyright 2017-2018 Richard Infante), schemas/voicemails/voicemails_11.2.sql at 294b7dbc6480ae7347a24550cf8fa037e239bb92
-- CREATE statements of a real phone database (iOS 11.2), as published there.
CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));
CREATE TABLE voicemail (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, remote_uid INTEGER, date INTEGER, token TEXT, sender TEXT, callback_num TEXT, duration INTEGER, expiration INTEGER, trashed_date INTEGER, flags INTEGER);
-- NOT-LOADABLE (name reserved by SQLite; created automatically):
-- CREATE TABLE sqlite_sequence(name,seq);
CREATE INDEX date_index on voicemail(date);
CREATE INDEX remote_uid_index on voicemail(remote_uid);
