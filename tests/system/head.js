// A HEAD request with Node's own http module, whose parser is strict: prints the status and
// whether the answer ended cleanly, or the parser's error. Usage: node head.js PORT
const http = require("http");
const port = Number(process.argv[2]);
const req = http.request({host: "127.0.0.1", port, method: "HEAD", path: "/api/v1/worlds"}, (res) => {
  res.resume();
  res.on("end", () => console.log(`status ${res.statusCode}, ended cleanly`));
});
req.on("error", (error) => {
  console.log(`error ${error.code}`);
  process.exitCode = 1;
});
req.end();
