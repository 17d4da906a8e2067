// Runs an aedes MQTT broker on 127.0.0.1 for the interoperability tests.
// Usage: node aedes-broker.mjs PORT [ws [TCPPORT] | wss CERT KEY]
// (ws, wss: MQTT over WebSocket, plain or over TLS, on any path; with
// TCPPORT the same broker also takes plain MQTT there)
// Prints "listening PORT" once the port accepts connections, then one line
// "subscribed CLIENTID FILTER" for every filter a client subscribes to and
// "disconnected CLIENTID" when a client has gone, so that tests can wait for
// them; stops on SIGTERM.
import { createServer } from 'node:net'
import { createServer as createHttpServer } from 'node:http'
import { createServer as createHttpsServer } from 'node:https'
import { readFileSync } from 'node:fs'
import { Aedes } from 'aedes'
import { WebSocketServer, createWebSocketStream } from 'ws'

const port = Number(process.argv[2])
if (!Number.isInteger(port) || port <= 0 || port > 65535) {
  console.error('usage: node aedes-broker.mjs PORT')
  process.exit(2)
}

const broker = await Aedes.createBroker()
const mode = process.argv[3] ?? 'tcp'
let server
if (mode === 'tcp') {
  server = createServer(broker.handle)
} else {
  server = mode === 'wss'
    ? createHttpsServer({ cert: readFileSync(process.argv[4]), key: readFileSync(process.argv[5]) })
    : createHttpServer()
  const wss = new WebSocketServer({ server })
  wss.on('connection', (socket, request) => {
    console.log(`websocket ${request.url} ${socket.protocol}`)
    broker.handle(createWebSocketStream(socket), request)
  })
  if (mode === 'ws' && /^[0-9]+$/.test(process.argv[4] ?? '')) createServer(broker.handle).listen(Number(process.argv[4]), '127.0.0.1')
}

broker.on('subscribe', (subscriptions, client) => {
  for (const sub of subscriptions) console.log(`subscribed ${client.id} ${sub.topic}`)
})
broker.on('clientDisconnect', (client) => {
  console.log(`disconnected ${client.id}`)
})

server.on('error', (err) => {
  console.error(`aedes: ${err.message}`)
  process.exit(1)
})
server.listen(port, '127.0.0.1', () => {
  console.log(`listening ${port}`)
})

const stop = () => {
  server.close()
  broker.close(() => process.exit(0))
}
process.on('SIGTERM', stop)
process.on('SIGINT', stop)
