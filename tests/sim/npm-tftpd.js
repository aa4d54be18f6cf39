// Serves DIR for TFTP writes on a loopback address with the npm "tftp" package, an
// implementation independent of ours. Usage: node npm-tftpd.js MODULES_DIR HOST PORT DIR
"use strict";
const [modules, host, port, root] = process.argv.slice(2);
const tftp = require(require("path").join(modules, "tftp"));
const server = tftp.createServer({ host: host, port: Number(port), root: root, denyGET: true });
server.on("error", (e) => { console.error("[npm-tftpd] " + e.message); process.exit(1); });
server.on("listening", () => console.error("[npm-tftpd] listening on " + host + ":" + port));
process.on("SIGTERM", () => { server.close(); process.exit(0); });
server.listen();
