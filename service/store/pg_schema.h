// The shared catalog's schema, made and migrated by each service at its
// start: schema_version holds the version a database has, and every step
// after it runs in one transaction with it, under a lock, so that services
// starting together migrate once. A database newer than this service is
// refused (its tables may mean more than this service knows).
#ifndef BREVANTO_SERVICE_STORE_PG_SCHEMA_H_
#define BREVANTO_SERVICE_STORE_PG_SCHEMA_H_

class PgConnection;

// The version this service makes.
constexpr int kPgSchemaVersion = 2;

// Brings the database to kPgSchemaVersion. Throws ServiceError.
void migrate_pg_schema(PgConnection& db);

#endif  // BREVANTO_SERVICE_STORE_PG_SCHEMA_H_
