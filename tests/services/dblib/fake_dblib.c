/* Stand-ins for the database client libraries in the binding tests: each
 * build defines one set of entry points. They are never called but for
 * the gateway's initialisation. */
#ifdef FAKE_MYSQL
int mysql_init(void) { return 0; }
int mysql_query(void) { return 0; }
#endif
#ifdef FAKE_MYSQL_NO_INIT
int mysql_query(void) { return 0; }
#endif
#ifdef FAKE_GATEWAY
int QelDbInit(void) { return FAKE_GATEWAY; }
int QelDbOpen(void) { return 1; }
#endif
