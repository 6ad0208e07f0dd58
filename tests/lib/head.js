// A HEAD request with Node's own http module, whose parser is strict: prints the status, then
// "ended cleanly" or the parser's error. Usage: node head.js PORT
const http = require("http");
const port = Number(process.argv[2]);
let failed = false;
const req = http.request({host: "127.0.0.1", port, method: "HEAD", path: "/api/v1/worlds"}, (res) => {
  console.log(`status ${res.statusCode}`);
  res.resume();
  res.on("end", () => failed || console.log("ended cleanly"));
});
req.on("error", (error) => {
  failed = true;
  console.log(`error ${error.code}`);
  process.exitCode = 1;
});
req.end();
